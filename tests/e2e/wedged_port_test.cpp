// A port whose output can never leave (an XOFF came back through its plug) must not keep
// its close waiting for ever: the program's interrupt, the program's departure and
// qdhost's stop each end that wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "qdev/qdev.h"
#include "qdtest/child_wait.h"
#include "qdtest/host_process.h"

namespace {

using qdtest::Host;

qdtest::HostSetup plugged(std::vector<std::string> args = {}) {
  return {.topology = "qmx 0:2 QMX-8S-115A\n  port 0-3 loopback\n", .args = std::move(args)};
}

// Opens a port and leaves output stuck behind the XOFF that its plug sent back.
int wedge(const Host& host, const char* node) {
  int fd = qdev::open(host.node(node).c_str(), O_RDWR | O_NDELAY);
  const std::string out = "\x13 stuck behind the XOFF";
  if (fd >= 0 && qdev::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
    return -1;
  }
  return fd;
}

// A program that wedges the port and exits without closing it.
int wedge_and_leave(const Host& host, const char* node) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::_exit(wedge(host, node) >= 0 ? 0 : 1);
  }
  return qdtest::wait_child(pid);
}

// Opens the port in a child, so that an open that never returns fails the test instead of
// hanging it: 0, the errno of a refused open, or -1 when the bound ran out.
int opens(const Host& host, const char* node) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = qdev::open(host.node(node).c_str(), O_RDWR | O_NDELAY);
    ::_exit(fd >= 0 ? 0 : errno);
  }
  return qdtest::wait_child(pid);
}

TEST(WedgedPort, ADepartedProgramsCloseGivesUpAfterTheBound) {
  Host host(plugged({"--drain-bound", "4"}));
  ASSERT_TRUE(host.start()) << host.log();
  ASSERT_EQ(wedge_and_leave(host, "ttyc20"), 0);
  EXPECT_EQ(opens(host, "ttyc20"), 0) << "the port opens again once the close gave up";
  EXPECT_EQ(host.stop(), 0) << host.log();
}

TEST(WedgedPort, AnInterruptEndsTheProgramsOwnClose) {
  Host host(plugged());
  ASSERT_TRUE(host.start()) << host.log();
  int fd = wedge(host, "ttyc21");
  ASSERT_GE(fd, 0) << std::strerror(errno);
  int r = -1;
  qdtest::interrupt_call([&] { r = qdev::close(fd); });
  EXPECT_EQ(r, 0);
  EXPECT_EQ(opens(host, "ttyc21"), 0);
  EXPECT_EQ(host.stop(), 0) << host.log();
}

// The stop's own bound (5 s of the emulated clock, about a second here) holds for a close
// that began when its program left, too: with a day's drain bound the stop would outlast
// the wait for it many times over.
TEST(WedgedPort, StopEndsEveryWaitWithinAFewSeconds) {
  Host host(plugged({"--drain-bound", "86400"}));
  ASSERT_TRUE(host.start()) << host.log();
  ASSERT_EQ(wedge_and_leave(host, "ttyc22"), 0);
  int fd = wedge(host, "ttyc23"); // left open
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(host.stop(SIGTERM), 0) << "a bounded wait: " << host.log();
  EXPECT_EQ(qdev::close(fd), 0);
}

} // namespace
