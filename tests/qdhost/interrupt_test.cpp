// Signals and departures: a blocked call ends with EINTR when the program is signalled, the
// kernel call ends with it, a signal handler may use the device meanwhile, and a program
// that dies while blocked has its device closed for it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "served.h"

#include "qdev/qdev.h"
#include "qdev/test_hooks.h"
#include "qdhost/loop_codes.h"

namespace {

using hosttest::interrupt_while;
using hosttest::InterruptingSignal;
namespace loop = qdhost::loop;

// Installs a release hook for the scope.
class ReleaseHook {
public:
  explicit ReleaseHook(qdev::test_hooks::ReleaseHook h)
      : old_(qdev::test_hooks::set_release_hook(h)) {}
  ~ReleaseHook() { qdev::test_hooks::set_release_hook(old_); }
  ReleaseHook(const ReleaseHook&) = delete;
  ReleaseHook& operator=(const ReleaseHook&) = delete;

private:
  qdev::test_hooks::ReleaseHook old_;
};

class Interrupt : public hosttest::Served {
protected:
  int open_echo() {
    int fd = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    return fd;
  }
  // Once the call has entered the kernel.
  std::function<bool()> entered(std::size_t n = 1) {
    return [this, n] { return await([this, n] { return calls() == n; }, "the call to block"); };
  }
  void expect_calls_end() {
    EXPECT_TRUE(await([this] { return calls() == 0; }, "the kernel call to end"));
  }
  // The call blocks in the kernel until a signal ends it with EINTR.
  void expect_interrupted(const std::function<long()>& call) {
    long r = 0;
    int err = 0;
    ASSERT_TRUE(interrupt_while(
        [&] {
          r = call();
          err = errno;
        },
        entered()));
    EXPECT_EQ(r, -1);
    EXPECT_EQ(err, EINTR);
  }
};

long read_byte(int fd) {
  char c;
  return qdev::read(fd, &c, 1);
}

TEST_F(Interrupt, BlockedCallsEndWithEintr) {
  InterruptingSignal sig;
  int fd = open_echo();
  ASSERT_GE(fd, 0);

  struct Case {
    const char* what;
    std::function<long()> call;
  };
  char data[4] = {};
  strioctl hang{loop::kHang, -1, 0, data};
  const Case cases[] = {
      {"read with nothing queued", [&] { return read_byte(fd); }},
      {"ioctl the driver does not answer", [&] { return long{qdev::ioctl(fd, I_STR, &hang)}; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(expect_interrupted(c.call));
    expect_calls_end();
  }
  // The device still works.
  ASSERT_EQ(qdev::write(fd, "ok", 2), 2);
  char buf[4] = {};
  EXPECT_EQ(qdev::read(fd, buf, sizeof buf), 2);
  EXPECT_STREQ(buf, "ok");
  EXPECT_EQ(qdev::close(fd), 0);
  EXPECT_EQ(open_streams(), 0u);
}

TEST_F(Interrupt, OpenWaitingInTheDriver) {
  InterruptingSignal sig;
  int fd = 0;
  int err = 0;
  ASSERT_TRUE(interrupt_while(
      [&] {
        fd = qdev::open(node(loop::kBlockNode).c_str(), O_RDWR | O_NDELAY);
        err = errno;
      },
      entered()));
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(err, EINTR);
  expect_calls_end();
  EXPECT_EQ(open_streams(), 0u);
}

int g_fd = -1;
int g_nested = 0;
int g_closed = 0;

void ioctl_from_handler(int) {
  int saved = errno;
  g_nested = qdev::ioctl(g_fd, loop::kTwice, 5);
  errno = saved;
}

void close_counted() {
  int saved = errno;
  if (qdev::close(g_fd) == 0) {
    ++g_closed;
  }
  errno = saved;
}

volatile std::sig_atomic_t g_handled = 0;
volatile std::sig_atomic_t g_hooked = 0;

// Only the first run acts: the signals go on until the read has returned, and a later run
// could land after the number was released, and close whatever file took it since.
void close_from_handler(int) {
  if (g_handled == 0) {
    g_handled = 1;
    close_counted();
  }
}

// A handler landing while the read lets the descriptor go.
void close_again_on_release(int fd) {
  if (fd == g_fd && g_hooked == 0) {
    g_hooked = 1;
    close_counted();
  }
}

// The handler's call allocates nothing: under ThreadSanitizer (the tsan preset) an
// allocation in a signal handler is reported, and the test fails.
TEST_F(Interrupt, HandlerUsesTheDeviceWhileACallIsBlocked) {
  g_fd = open_echo();
  ASSERT_GE(g_fd, 0);
  g_nested = 0;
  InterruptingSignal sig(ioctl_from_handler);
  ASSERT_NO_FATAL_FAILURE(expect_interrupted([] { return read_byte(g_fd); }));
  EXPECT_EQ(g_nested, 10) << "the handler's own call was answered";
  expect_calls_end();
  EXPECT_EQ(qdev::ioctl(g_fd, loop::kTwice, 7), 14) << "nothing left over in the conversation";
  EXPECT_EQ(qdev::close(g_fd), 0);
}

TEST_F(Interrupt, HandlerClosesTheDeviceUnderABlockedCall) {
  g_fd = open_echo();
  ASSERT_GE(g_fd, 0);
  struct stat before {};
  ASSERT_EQ(::fstat(g_fd, &before), 0);
  g_closed = 0;
  g_handled = 0;
  g_hooked = 0;
  InterruptingSignal sig(close_from_handler);
  ReleaseHook hook(close_again_on_release);
  ASSERT_NO_FATAL_FAILURE(expect_interrupted([] { return read_byte(g_fd); }));
  EXPECT_EQ(g_hooked, 1) << "a handler landed as the read let the descriptor go";
  EXPECT_EQ(g_closed, 1);
  EXPECT_FALSE(qdev::is_device(g_fd));
  // Released once the read returned: the number is free, or already another file's (the
  // server's threads open descriptors too).
  struct stat after {};
  const bool same_file =
      ::fstat(g_fd, &after) == 0 && after.st_dev == before.st_dev && after.st_ino == before.st_ino;
  EXPECT_FALSE(same_file) << "released once the read returned";
  EXPECT_EQ(open_streams(), 0u);
}

TEST_F(Interrupt, ProgramThatDiesWhileBlockedHasItsDeviceClosed) {
  struct Case {
    const char* what;
    const char* node;
    bool read;
  };
  const Case cases[] = {
      {"blocked in read", loop::kEchoNode, true},
      {"blocked in the driver's open", loop::kBlockNode, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int fd = qdev::open(node(c.node).c_str(), O_RDWR);
      char ch;
      if (fd >= 0 && c.read) {
        qdev::read(fd, &ch, 1);
      }
      ::_exit(3); // not reached while the call blocks
    }
    ASSERT_TRUE(await([&] { return calls() == 1 && connections() == 1; }, "the child to block"));
    ::kill(pid, SIGKILL);
    EXPECT_EQ(hosttest::wait_child(pid), -1) << "killed";
    EXPECT_TRUE(await([&] { return connections() == 0; }, "the connection to end"));
    EXPECT_EQ(calls(), 0u);
    EXPECT_EQ(open_streams(), 0u);
  }
}

} // namespace
