// The harness itself: what it starts dies with the test, and a program under a directory
// closed to other users still runs as one of them.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "qdtest/child_guard.h"
#include "qdtest/child_wait.h"
#include "qdtest/host_process.h"
#include "qdtest/program_copy.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

class WorkDir {
public:
  WorkDir() {
    char tmpl[] = "/tmp/qd-harness-XXXXXX";
    EXPECT_NE(::mkdtemp(tmpl), nullptr);
    path_ = tmpl;
  }
  ~WorkDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Whether the process ends within the harness's bound.
bool ends(int pidfd) {
  pollfd p{pidfd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(qdtest::kLimit.count())) == 1;
}

TEST(Harness, WhatATestStartedDiesWithIt) {
  struct Case {
    const char* what;
    int sig;
    bool background; // also a qdhost that a program of the test left in the background
  };
  // A killed process runs nothing more: its direct children end by their parent-death
  // signal. On a fatal signal its handler ends their whole process groups.
  const Case cases[] = {{"killed outright", SIGKILL, false}, {"fatal signal", SIGABRT, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WorkDir dir;
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    // A stand-in for a test process: starts qdhost, and a shell that starts another in the
    // background, says their process ids once both serve, and waits for its end.
    const pid_t test = qdtest::fork_child();
    if (test == 0) {
      const std::vector<std::string> loop = {"--test-loop", "--speed", "100", "--devdir"};
      std::vector<std::string> direct_args = loop;
      direct_args.push_back(dir / "direct");
      qdtest::Child direct(qdtest::qdhost_path(), direct_args);
      std::vector<std::string> shell_args = {"-c", R"("$0" "$@" & echo $!; wait)",
                                             qdtest::qdhost_path()};
      shell_args.insert(shell_args.end(), loop.begin(), loop.end());
      shell_args.push_back(dir / "background");
      std::unique_ptr<qdtest::Child> shell;
      if (c.background) {
        shell = std::make_unique<qdtest::Child>("/bin/sh", shell_args);
      }
      if (!direct.wait_err("serving") ||
          (shell && (!shell->wait_out("\n") || !shell->wait_err("serving")))) {
        ::_exit(1);
      }
      const std::string pids =
          std::to_string(direct.pid()) + " " + (shell ? shell->out() : std::string("0\n"));
      if (::write(report[1], pids.data(), pids.size()) != static_cast<ssize_t>(pids.size())) {
        ::_exit(1);
      }
      for (;;) {
        ::pause();
      }
    }
    ASSERT_GT(test, 0);
    ::close(report[1]);
    char text[64] = {};
    pollfd p{report[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, static_cast<int>(qdtest::kLimit.count())), 1);
    ASSERT_GT(::read(report[0], text, sizeof text - 1), 0);
    ::close(report[0]);
    pid_t direct = 0, background = 0;
    ASSERT_EQ(std::sscanf(text, "%d %d", &direct, &background), 2) << text;
    std::vector<int> pidfds;
    for (pid_t pid : {direct, background}) {
      if (pid > 0) {
        pidfds.push_back(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        ASSERT_GE(pidfds.back(), 0) << pid;
      }
    }

    ::kill(test, c.sig);
    EXPECT_EQ(qdtest::wait_child(test), -1);
    for (int fd : pidfds) {
      EXPECT_TRUE(ends(fd)) << "a qdhost outlived the test that started it";
      ::close(fd);
    }
    for (pid_t pid : {direct, background}) {
      if (pid > 0) {
        ::kill(pid, SIGKILL); // when it did not end: not left behind by this test either
      }
    }
  }
}

TEST(Harness, AProgramUnderAPrivateDirectoryRunsAsAnotherUserFromACopy) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "running as another user needs root";
  }
  // A checkout under a directory only its owner may enter, as a mktemp -d or root's home.
  WorkDir private_dir;
  ASSERT_EQ(::chmod((private_dir / "").c_str(), 0700), 0);
  const std::string program = private_dir / "portcheck";
  fs::copy_file(QD_PROGRAM_PORTCHECK, program);
  // Exit status 127 when the exec fails; portcheck's own usage status otherwise.
  const auto status_as_nobody = [](const std::string& path) {
    const pid_t parent = ::getpid();
    const pid_t pid = qdtest::fork_child();
    if (pid == 0) {
      if (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
        qdtest::stay_with(parent);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
        ::execv(path.c_str(), argv);
      }
      ::_exit(127);
    }
    return qdtest::wait_child(pid);
  };
  EXPECT_EQ(status_as_nobody(program), 127) << "the exec fails where the test's build lies";
  const qdtest::ProgramCopy copy(program, kNobody);
  ASSERT_FALSE(copy.path().empty());
  EXPECT_EQ(status_as_nobody(copy.path()), 1) << "the copy runs (usage)";
}

} // namespace
