// mevo on ports of the qd driver, served by qdhost on its default emulated units: a port with
// a loopback plug and a port with a pseudo-terminal at its far end. This file looks at the
// port with the System V records (qdev/tty.h) and must not include the host's <termios.h>.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "lock_file.h"
#include "mevo_on_pty.h"
#include "qdev/qdev.h"
#include "qdev/tty.h"
#include "qdtest/host_process.h"
#include "temp_dir.h"

namespace {

using mevotest::Mevo;

constexpr char kSignOn[] = "Type ~? for help.\n\r";

class MevoOnPorts : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(host_.start()) << host_.log(); }
  void TearDown() override { EXPECT_EQ(host_.stop(), 0) << host_.log(); }
  std::vector<std::string> env() const { return {"MEVO_LOCKDIR=" + locks_.path()}; }
  std::string lock_of(const std::string& node) const {
    struct ::stat st {};
    EXPECT_EQ(qdev::stat(host_.node(node).c_str(), &st), 0);
    return mevo::lock_name(locks_.path(), ::major(st.st_dev), qdev::major_of(st.st_rdev),
                           qdev::minor_of(st.st_rdev));
  }
  // The port's settings as the driver holds them, from an open of our own.
  termios settings_of(const std::string& node) {
    termios t{};
    const int fd = qdev::open(host_.node(node).c_str(), O_RDWR | O_NDELAY);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(qdev::tcgetattr(fd, &t), 0) << std::strerror(errno);
    qdev::close(fd);
    return t;
  }

  qdtest::Host host_;
  mevotest::TempDir locks_;
};

TEST_F(MevoOnPorts, ThroughALoopbackPlug) {
  const std::string port = host_.node("ttyc20");
  Mevo m({port}, env());
  ASSERT_TRUE(m.shows(" MEVO --- port=" + port + " ")) << m.screen();
  // The plug loops DTR to DSR and carrier, RTS to CTS.
  ASSERT_TRUE(m.shows("\rCAR=ON  DTR=ON  RTS=ON  CTS=ON  DSR=ON ")) << m.screen();
  ASSERT_TRUE(m.shows(kSignOn)) << m.screen();
  struct ::stat st {};
  EXPECT_EQ(::stat(lock_of("ttyc20").c_str(), &st), 0) << "the lock is taken";

  m.type("typed, and back again\r");
  EXPECT_TRUE(m.shows("typed, and back again\r")) << m.screen();

  m.type("~+");
  ASSERT_TRUE(m.shows(" 19200 BAUD 8 NONE 1 SWFC=ON  HWFC=OFF")) << m.screen();
  termios t = settings_of("ttyc20");
  EXPECT_EQ(qdev::cfgetospeed(&t), B19200) << "the new speed reached the port";
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CLOCAL), CS8 | CLOCAL);

  m.type("~p~7"); // odd parity; '7' is no command: the help text
  ASSERT_TRUE(m.shows(" 19200 BAUD 8 ODD  1")) << m.screen();
  ASSERT_TRUE(m.shows("MEVO tilde cmds:")) << m.screen();
  t = settings_of("ttyc20");
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD), PARENB | PARODD);

  m.type("~d");
  ASSERT_TRUE(m.shows("\rCAR=OFF DTR=OFF RTS=ON  CTS=ON  DSR=OFF")) << m.screen();
  ASSERT_TRUE(m.shows("^^^^^^^ ^^^^^^^                 ^^^^^^^ ")) << m.screen();
  m.type("~d");
  ASSERT_TRUE(m.shows("\rCAR=ON  DTR=ON  RTS=ON  CTS=ON  DSR=ON ")) << m.screen();

  m.type("~k");
  m.type("still there\r");
  EXPECT_TRUE(m.shows("still there\r")) << "after a break the line carries on";

  m.type("~.");
  EXPECT_EQ(m.status(), 0) << m.errors();
  EXPECT_EQ(m.errors(), "");
  EXPECT_NE(m.screen().find("MEVO\a closing..."), std::string::npos);
  EXPECT_EQ(locks_.count(), 0u) << "the lock is gone";
}

TEST_F(MevoOnPorts, APseudoTerminalAtTheFarEnd) {
  const int far = ::open(host_.node("ttyc24.pty").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(far, 0) << std::strerror(errno);
  Mevo m({host_.node("ttyc24")}, env());
  ASSERT_TRUE(m.shows(kSignOn)) << m.screen();

  m.type("ls\r");
  std::string got;
  while (got.size() < 3) {
    pollfd pf{far, POLLIN, 0};
    if (::poll(&pf, 1, static_cast<int>(mevotest::kLimit.count())) != 1) {
      break;
    }
    char buf[64];
    const ssize_t n = ::read(far, buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    got.append(buf, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got.substr(0, 3), "ls\r");

  const std::string answer = "a reply from the far end";
  ASSERT_EQ(::write(far, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
  EXPECT_TRUE(m.shows(answer)) << m.screen();

  ::kill(m.pid(), SIGTERM);
  EXPECT_EQ(m.status(), SIGTERM) << m.errors();
  EXPECT_EQ(locks_.count(), 0u);
  ::close(far);
}

TEST_F(MevoOnPorts, OptionILeavesThePortAsItWas) {
  // Held open meanwhile: a first open would give the port the system's default modes.
  const int fd = qdev::open(host_.node("ttyc22").c_str(), O_RDWR | O_NDELAY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  termios t{};
  ASSERT_EQ(qdev::tcgetattr(fd, &t), 0);
  ASSERT_EQ(qdev::cfsetospeed(&t, B4800), 0);
  ASSERT_EQ(qdev::cfsetispeed(&t, B4800), 0);
  t.c_iflag &= ~(IXON | IXOFF);
  t.c_cflag |= CRTSCTS | CLOCAL;
  ASSERT_EQ(qdev::tcsetattr(fd, qdev::TCSANOW, &t), 0) << std::strerror(errno);
  termios before{};
  ASSERT_EQ(qdev::tcgetattr(fd, &before), 0);

  Mevo m({"-i", host_.node("ttyc22")}, env());
  ASSERT_TRUE(m.shows("\r  4800 BAUD 8 NONE 1 SWFC=OFF HWFC=ON ")) << m.screen();
  ASSERT_TRUE(m.shows(kSignOn)) << m.screen();
  m.type("~.");
  EXPECT_EQ(m.status(), 0) << m.errors();
  termios after{};
  ASSERT_EQ(qdev::tcgetattr(fd, &after), 0);
  EXPECT_EQ(after.c_cflag, before.c_cflag) << "nothing written to the port";
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  qdev::close(fd);
}

TEST_F(MevoOnPorts, TwoNamesOfOnePortShareTheLock) {
  Mevo first({host_.node("ttyc21")}, env());
  ASSERT_TRUE(first.shows(kSignOn)) << first.screen();
  // The same port by the name programs use, which the device access maps to its directory.
  const std::string other = "/dev/qmx/ttyc21";
  Mevo second({other}, env());
  EXPECT_EQ(second.status(), 1);
  EXPECT_EQ(second.errors(), other + ": already in use.\n");
  first.type("~q");
  EXPECT_EQ(first.status(), 0);
}

} // namespace
