// kvupdate and kvscanbus as programs: the checks before any unit is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kLimitMs = 20000;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the program with the arguments, QD_DEVDIR set to devdir, as `uid` when it is not 0;
// every wait is bounded and a child still running at the bound is killed.
Outcome run(const char* path, std::vector<std::string> args, const std::string& devdir,
            uid_t uid = 0) {
  int out[2], err[2];
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
  args.insert(args.begin(), path);
  std::vector<char*> av;
  for (auto& a : args) {
    av.push_back(a.data());
  }
  av.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::setenv("QD_DEVDIR", devdir.c_str(), 1);
    if (uid != 0 && ::setuid(uid) != 0) {
      ::_exit(126);
    }
    ::execv(path, av.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  Outcome r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_pipes = 2;
  while (open_pipes > 0 && ::poll(fds, 2, kLimitMs) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char buf[512];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  for (const pollfd& f : fds) {
    if (f.fd >= 0) {
      ::close(f.fd);
    }
  }
  const int pfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  pollfd pf{pfd, POLLIN, 0};
  const bool ended = pfd >= 0 && ::poll(&pf, 1, kLimitMs) == 1;
  if (pfd >= 0) {
    ::close(pfd);
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(ended) << path << " did not end";
  r.status = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

class ProgramStart : public ::testing::Test {
protected:
  ProgramStart() {
    char tmpl[] = "/tmp/scsitools_start.XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  ~ProgramStart() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(ProgramStart, RefusedUnlessRoot) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "running as another user needs root";
  }
  for (const char* path : {KVUPDATE_PATH, KVSCANBUS_PATH}) {
    const Outcome r = run(path, {}, dir_, 65534);
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_EQ(r.err, "You must be super user to run this utility.\n") << path;
    EXPECT_EQ(r.out, "") << path;
  }
}

TEST_F(ProgramStart, KvupdateTakesNoArguments) {
  const Outcome r = run(KVUPDATE_PATH, {"-x"}, dir_);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "usage: kvupdate\nFully interactive, no command line options.\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ProgramStart, NoDiagnosticNode) {
  const Outcome u = run(KVUPDATE_PATH, {}, dir_);
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.err, "Can't open diagnostic port /dev/qmx/qmxdiag\n");
  // kvscanbus ignores its arguments.
  const Outcome s = run(KVSCANBUS_PATH, {"extra"}, dir_);
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.err, "Can't open diagnostic port '/dev/qmx/qmxdiag'\n");
  EXPECT_EQ(s.out, "");
}

} // namespace
