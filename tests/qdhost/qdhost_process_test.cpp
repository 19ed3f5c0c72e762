// qdhost as the programs meet it: a process serving a directory until it is told to stop.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "served.h"

#include "qdev/qdev.h"
#include "qdhost/loop_codes.h"
#include "qdtest/child_guard.h"

extern char** environ;

namespace {

using hosttest::TempDir;
namespace loop = qdhost::loop;

class Qdhost {
public:
  // Starts qdhost with args; env_devdir null leaves QD_DEVDIR out of its environment.
  Qdhost(const std::vector<std::string>& args, const char* env_devdir) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "QD_DEVDIR=", 10) != 0) {
        env.emplace_back(*e);
      }
    }
    if (env_devdir != nullptr) {
      env.push_back(std::string("QD_DEVDIR=") + env_devdir);
    }
    std::vector<std::string> argv = {"qdhost"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> av, ev;
    for (auto& a : argv) {
      av.push_back(a.data());
    }
    av.push_back(nullptr);
    for (auto& e : env) {
      ev.push_back(e.data());
    }
    ev.push_back(nullptr);
    int p[2];
    EXPECT_EQ(::pipe2(p, O_CLOEXEC), 0);
    pid_ = qdtest::fork_child();
    if (pid_ == 0) {
      ::dup2(p[1], 2);
      ::execve(QDHOST_PATH, av.data(), ev.data());
      ::_exit(127);
    }
    // A description of our own, so that O_NONBLOCK stays off qdhost's.
    fill_ = ::open(("/proc/self/fd/" + std::to_string(p[1])).c_str(),
                   O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ::close(p[1]);
    err_ = p[0];
  }
  ~Qdhost() {
    if (pid_ > 0 && !ended_) {
      qdtest::end_child(pid_);
      hosttest::wait_child(pid_);
    }
    ::close(err_);
    ::close(fill_);
  }
  // Fills its standard error to the brim: as a reader that has stopped reading.
  bool stop_reading() {
    const std::string junk(4096, '-');
    while (::write(fill_, junk.data(), junk.size()) > 0) {
    }
    return errno == EAGAIN;
  }
  // Reads its standard error until the text shows up or it closes; false when not seen
  // within the bound.
  bool says(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + hosttest::kLimit;
    while (log_.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd pf{err_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&pf, 1, static_cast<int>(left.count())) != 1) {
        return false;
      }
      char buf[512];
      ssize_t n = ::read(err_, buf, sizeof buf);
      if (n <= 0) {
        return log_.find(text) != std::string::npos;
      }
      log_.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }
  int stop(int sig) {
    ::kill(pid_, sig);
    ended_ = true;
    return hosttest::wait_child(pid_);
  }
  int exit_status() {
    ended_ = true;
    return hosttest::wait_child(pid_);
  }
  const std::string& log() const { return log_; }

private:
  pid_t pid_ = -1;
  int err_ = -1;
  int fill_ = -1;
  bool ended_ = false;
  std::string log_;
};

class QdhostProcess : public ::testing::Test {
protected:
  void SetUp() override { ::setenv("QD_DEVDIR", dir_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("QD_DEVDIR"); }
  TempDir dir_;
};

TEST_F(QdhostProcess, ServesUntilToldToStopThenLeavesNothing) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    Qdhost q({"--test-loop", "--devdir", dir_.path(), "--speed", "100"}, nullptr);
    ASSERT_TRUE(q.says("serving 4 nodes in " + dir_.path())) << q.log();

    int fd = qdev::open((dir_ / loop::kEchoNode).c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(qdev::write(fd, "hi", 2), 2);
    char buf[4] = {};
    EXPECT_EQ(qdev::read(fd, buf, sizeof buf), 2);
    struct ::stat st {};
    ASSERT_EQ(qdev::stat((dir_ / loop::kCtlNode).c_str(), &st), 0);
    EXPECT_EQ(st.st_rdev & 0x3ffff, loop::kCtlMinor);

    // Stopped with the device still open.
    EXPECT_EQ(q.stop(sig), 0) << q.log();
    EXPECT_TRUE(dir_.entries().empty()) << "every socket removed";
    EXPECT_EQ(qdev::read(fd, buf, sizeof buf), 0) << "the device is gone";
    EXPECT_EQ(qdev::close(fd), 0);
  }
}

// Its messages wait, or are dropped, but nothing that serves waits for them.
TEST_F(QdhostProcess, ServesAndStopsWhileNobodyReadsItsMessages) {
  Qdhost q({"--test-loop", "--devdir", dir_.path(), "--max-connections", "1"}, nullptr);
  ASSERT_TRUE(q.says("serving")) << q.log();
  ASSERT_TRUE(q.stop_reading());
  int fd = qdev::open((dir_ / loop::kEchoNode).c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  // Refused, and said so.
  EXPECT_LT(qdev::open((dir_ / loop::kEchoNode).c_str(), O_RDWR), 0);
  ASSERT_EQ(qdev::write(fd, "hi", 2), 2);
  char buf[4] = {};
  EXPECT_EQ(qdev::read(fd, buf, sizeof buf), 2);
  EXPECT_EQ(q.stop(SIGTERM), 0);
  EXPECT_EQ(qdev::close(fd), 0);
}

TEST_F(QdhostProcess, DirectoryFromTheEnvironmentUnlessTheFlagSaysOtherwise) {
  TempDir other;
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string env;
    const TempDir* served;
    const TempDir* untouched;
  };
  const Case cases[] = {
      {"environment", {"--test-loop"}, dir_.path(), &dir_, &other},
      {"flag wins", {"--test-loop", "--devdir=" + dir_.path()}, other.path(), &dir_, &other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Qdhost q(c.args, c.env.c_str());
    ASSERT_TRUE(q.says("serving")) << q.log();
    EXPECT_EQ(c.served->entries().size(), 4u);
    EXPECT_TRUE(c.untouched->entries().empty());
    EXPECT_EQ(q.stop(SIGTERM), 0);
  }
}

TEST_F(QdhostProcess, RefusesADirectoryAnotherServes) {
  Qdhost first({"--test-loop"}, dir_.path().c_str());
  ASSERT_TRUE(first.says("serving")) << first.log();
  Qdhost second({"--test-loop"}, dir_.path().c_str());
  EXPECT_TRUE(second.says("live server")) << second.log();
  EXPECT_EQ(second.exit_status(), 1);
  int fd = qdev::open((dir_ / loop::kEchoNode).c_str(), O_RDWR);
  EXPECT_GE(fd, 0) << "the first one still serves";
  EXPECT_EQ(qdev::close(fd), 0);
  EXPECT_EQ(first.stop(SIGTERM), 0);
}

// Looked at before anything else: a permission table it cannot read is not even reached.
TEST_F(QdhostProcess, RefusesADirectoryOthersMayWriteFirstOfAll) {
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  Qdhost q({"--test-loop", "--minor-perm", dir_ / "missing"}, dir_.path().c_str());
  EXPECT_TRUE(q.says(dir_.path() + ": group or others may write")) << q.log();
  EXPECT_EQ(q.exit_status(), 1);
  EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(QdhostProcess, BadCommandLine) {
  Qdhost q({"--speed", "never"}, nullptr);
  EXPECT_TRUE(q.says("usage: qdhost")) << q.log();
  EXPECT_EQ(q.exit_status(), 1);
  EXPECT_TRUE(dir_.entries().empty());
}

} // namespace
