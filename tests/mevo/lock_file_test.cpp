// The port's lock file: its name, taking it, a stale lock taken over, a live one respected.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "capture.h"
#include "lock_file.h"
#include "temp_dir.h"

namespace {

using mevotest::CapturedStderr;
using mevotest::TempDir;

// The port stands in as /dev/null: a character device every host has.
constexpr char kPort[] = "/dev/null";

std::string null_lock(const std::string& dir) {
  struct ::stat st {};
  EXPECT_EQ(::stat(kPort, &st), 0);
  return mevo::lock_name(dir, ::major(st.st_dev), ::major(st.st_rdev), ::minor(st.st_rdev));
}

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string pid_text(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

// A process id that no process has any more.
pid_t dead_pid() {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, 0);
  return pid;
}

TEST(LockName, NumbersAtLeastThreeDigitsWide) {
  struct Case {
    unsigned long fs, major, minor;
    const char* want;
  };
  const Case cases[] = {
      {32, 29, 5, "/var/spool/locks/LK.032.029.005"},
      {0, 0, 0, "/var/spool/locks/LK.000.000.000"},
      {1234, 4095, 262143, "/var/spool/locks/LK.1234.4095.262143"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mevo::lock_name("/var/spool/locks", c.fs, c.major, c.minor), c.want);
  }
}

TEST(LockName, DirectoryFromTheEnvironment) {
  ::setenv("MEVO_LOCKDIR", "/tmp/locks", 1);
  EXPECT_EQ(mevo::lock_dir(), "/tmp/locks");
  ::setenv("MEVO_LOCKDIR", "", 1);
  EXPECT_EQ(mevo::lock_dir(), "/var/spool/locks");
  ::unsetenv("MEVO_LOCKDIR");
  EXPECT_EQ(mevo::lock_dir(), "/var/spool/locks");
}

TEST(Lock, TakenWithThePidThenRemoved) {
  TempDir dir;
  std::string lock;
  CapturedStderr err;
  ASSERT_EQ(mevo::lock_tty(dir.path(), kPort, ::getpid(), &lock), 0) << err.text();
  EXPECT_EQ(lock, null_lock(dir.path()));
  EXPECT_EQ(contents(lock), pid_text(::getpid()));
  EXPECT_EQ(contents(lock).size(), 11u);
  EXPECT_EQ(dir.count(), 1u) << "the temporary candidate is gone";
  EXPECT_EQ(mevo::read_lock_proc_id(lock), ::getpid());

  const std::string path = lock;
  mevo::unlock_tty(lock);
  EXPECT_TRUE(lock.empty());
  EXPECT_EQ(dir.count(), 0u);
  // Held by someone else now: a second unlock of ours must not touch it.
  put(path, pid_text(1));
  mevo::unlock_tty(lock);
  EXPECT_EQ(contents(path), pid_text(1));
  EXPECT_EQ(err.text(), "");
}

TEST(Lock, AnExistingLockByWhatItHolds) {
  TempDir dir;
  const std::string name = null_lock(dir.path());
  const std::string in_use = std::string(kPort) + ": already in use.\n";
  const std::string dubious = "Line locked with dubious format lockfile '" + name + "'.\n";
  struct Case {
    const char* what;
    std::string holds;
    int want;
    std::string message;
  };
  const Case cases[] = {
      {"a live process", pid_text(::getppid()), 1, in_use},
      {"a live process, unpadded", std::to_string(::getppid()), 1, in_use},
      {"a small number", pid_text(3), 1, dubious},
      {"nothing", "", 1, dubious},
      {"no number", "locked\n", 1, dubious},
      {"a negative number", "        -2\n", 1, dubious},
      {"a process that has ended", pid_text(dead_pid()), 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    put(name, c.holds);
    std::string lock;
    CapturedStderr err;
    EXPECT_EQ(mevo::lock_tty(dir.path(), kPort, ::getpid(), &lock), c.want);
    EXPECT_EQ(err.text(), c.message);
    EXPECT_EQ(contents(name), c.want == 0 ? pid_text(::getpid()) : c.holds)
        << "a lock that is not ours stays as it was";
    EXPECT_EQ(lock, c.want == 0 ? name : "");
    EXPECT_EQ(dir.count(), 1u) << "no candidate left behind";
    ::unlink(name.c_str());
  }
}

TEST(Lock, SomethingUnreadableInItsPlaceEndsTheAttempts) {
  TempDir dir;
  const std::string name = null_lock(dir.path());
  ASSERT_EQ(::mkdir(name.c_str(), 0755), 0);
  std::string lock;
  CapturedStderr err;
  EXPECT_EQ(mevo::lock_tty(dir.path(), kPort, ::getpid(), &lock), 1);
  EXPECT_EQ(err.text(), "Line locked with dubious format lockfile '" + name + "'.\n");
  EXPECT_EQ(dir.count(), 1u);
}

TEST(Lock, SetupFailures) {
  TempDir dir;
  struct Case {
    const char* what;
    std::string lock_dir, port;
    std::string message_end;
  };
  const Case cases[] = {
      {"no such port", dir.path(), dir / "none", "Couldn't stat device node.\n"},
      {"no lock directory", dir / "none", kPort, "Couldn't create temp file.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string lock;
    CapturedStderr err;
    EXPECT_EQ(mevo::lock_tty(c.lock_dir, c.port, ::getpid(), &lock), 1);
    const std::string text = err.text();
    ASSERT_GE(text.size(), c.message_end.size());
    EXPECT_EQ(text.substr(text.size() - c.message_end.size()), c.message_end) << text;
    EXPECT_TRUE(lock.empty());
    EXPECT_EQ(dir.count(), 0u);
  }
}

// The owner runs as another user: kill(pid, 0) is refused with EPERM, yet the lock is live.
TEST(Lock, AnotherUsersLiveProcessKeepsItsLock) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs to change user";
  }
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
  const std::string name = null_lock(dir.path());
  put(name, pid_text(::getpid())); // root's process, alive
  int err[2];
  ASSERT_EQ(::pipe(err), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(err[1], 2);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(99);
    }
    std::string lock;
    ::_exit(mevo::lock_tty(dir.path(), kPort, ::getpid(), &lock));
  }
  ::close(err[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  char buf[256] = {};
  ssize_t n = ::read(err[0], buf, sizeof buf - 1);
  ::close(err[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0),
            std::string(kPort) + ": already in use.\n");
  EXPECT_EQ(contents(name), pid_text(::getpid()));
}

} // namespace
