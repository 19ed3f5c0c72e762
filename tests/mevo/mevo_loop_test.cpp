// mevo as a user meets it, on qdhost's loopback driver: an echoing port node with terminal
// settings and modem signals. This file uses the port's System V records (qdev/tty.h) to look
// at the port from outside; it must not include the host's <termios.h>.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "lock_file.h"
#include "mevo_on_pty.h"
#include "qdev/qdev.h"
#include "qdev/tty.h"
#include "qdhost/loop_codes.h"
#include "qdtest/host_process.h"
#include "temp_dir.h"

namespace {

using mevotest::Mevo;
using mevotest::TempDir;
namespace loop = qdhost::loop;

constexpr char kSignOn[] = "Type ~? for help.\n\r";
// Its newline is shown as the restored terminal's output processing has it.
constexpr char kClosing[] = "MEVO\a closing...";

class MevoOnLoop : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(host_.start()) << host_.log();
    // The echoing node's dial-out twin: a reopen of the plain node resets its line.
    port_ = host_.node(loop::kDialoutNode);
    // The port held open from outside for the whole test, so that its state outlives mevo.
    watch_ = qdev::open(port_.c_str(), O_RDWR | O_NDELAY);
    ASSERT_GE(watch_, 0);
  }
  void TearDown() override {
    qdev::close(watch_);
    EXPECT_EQ(host_.stop(), 0) << host_.log();
  }
  std::vector<std::string> env() const { return {"MEVO_LOCKDIR=" + locks_.path()}; }
  std::string lock_path() const {
    struct ::stat st {};
    EXPECT_EQ(qdev::stat(port_.c_str(), &st), 0);
    return mevo::lock_name(locks_.path(), ::major(st.st_dev), qdev::major_of(st.st_rdev),
                           qdev::minor_of(st.st_rdev));
  }
  termios port_settings() {
    termios t{};
    EXPECT_EQ(qdev::tcgetattr(watch_, &t), 0);
    return t;
  }
  int port_modem() {
    int bits = -1;
    EXPECT_EQ(qdev::get_modem(watch_, &bits), 0);
    return bits;
  }

  qdtest::Host host_{{.args = {"--test-loop"}}};
  TempDir locks_;
  std::string port_;
  int watch_ = -1;
};

TEST_F(MevoOnLoop, TypedCharactersComeBackAndTildeDotLeaves) {
  Mevo m({port_}, env());
  ASSERT_TRUE(m.shows(" MEVO --- port=" + port_ + " ")) << m.screen();
  ASSERT_TRUE(m.shows("\r  9600 BAUD 8 NONE 1 SWFC=ON  HWFC=OFF")) << m.screen();
  ASSERT_TRUE(m.shows(kSignOn)) << m.screen();
  std::ifstream lock(lock_path());
  std::string owner;
  std::getline(lock, owner);
  EXPECT_EQ(std::stoi(owner), m.pid()) << "the lock holds mevo's process id";
  EXPECT_EQ(port_modem() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
  const termios t = port_settings();
  EXPECT_EQ(qdev::cfgetospeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & (CSIZE | CLOCAL | CREAD), CS8 | CLOCAL | CREAD);
  EXPECT_NE(t.c_iflag & (IXON | IXOFF), 0u);

  m.type("hello, port\r");
  EXPECT_TRUE(m.shows("hello, port\r")) << m.screen();
  m.type("a~b\r");
  EXPECT_TRUE(m.shows("a~b\r")) << "a tilde inside a line is data";
  m.type("~.");
  EXPECT_EQ(m.status(), 0) << m.errors();
  EXPECT_NE(m.screen().find(kClosing), std::string::npos) << m.screen();
  EXPECT_EQ(locks_.count(), 0u) << "the lock is gone";
  EXPECT_EQ(port_modem() & (TIOCM_DTR | TIOCM_RTS), 0) << "DTR and RTS dropped";
}

TEST_F(MevoOnLoop, TildeCommandsReachThePort) {
  Mevo m({"-7", "-E", port_}, env());
  ASSERT_TRUE(m.shows(kSignOn)) << m.screen();
  EXPECT_EQ(port_settings().c_cflag & (CSIZE | PARENB | PARODD), CS7 | PARENB);

  m.type("~+");
  ASSERT_TRUE(m.shows(" 19200 BAUD 7 EVEN 1")) << m.screen();
  ASSERT_TRUE(m.shows(" ^^^^^^^^^^\n\r")) << m.screen();
  termios t = port_settings();
  EXPECT_EQ(qdev::cfgetospeed(&t), B19200);
  EXPECT_EQ(qdev::cfgetispeed(&t), B19200);

  m.type("~h");
  ASSERT_TRUE(m.shows("HWFC=ON ")) << m.screen();
  EXPECT_NE(port_settings().c_cflag & CRTSCTS, 0u);

  m.type("~d");
  ASSERT_TRUE(m.shows("DTR=OFF")) << m.screen();
  EXPECT_EQ(port_modem() & (TIOCM_DTR | TIOCM_RTS), TIOCM_RTS);

  m.type("~?");
  ASSERT_TRUE(m.shows("MEVO tilde cmds:")) << m.screen();
  m.type("~k~x");
  EXPECT_EQ(m.status(), 0) << m.errors();
  EXPECT_EQ(m.errors(), "");
}

TEST_F(MevoOnLoop, ExitSignalsGiveTheirNumber) {
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(sig);
    Mevo m({port_}, env());
    ASSERT_TRUE(m.shows(kSignOn)) << m.screen();
    ASSERT_EQ(locks_.count(), 1u);
    ::kill(m.pid(), sig);
    EXPECT_EQ(m.status(), sig) << m.errors();
    EXPECT_NE(m.screen().find(kClosing), std::string::npos);
    EXPECT_EQ(locks_.count(), 0u);
  }
}

TEST_F(MevoOnLoop, OptionILeavesThePortAsItWas) {
  termios t = port_settings();
  ASSERT_EQ(qdev::cfsetospeed(&t, B4800), 0);
  t.c_iflag &= ~(IXON | IXOFF);
  t.c_cflag |= CRTSCTS;
  ASSERT_EQ(qdev::tcsetattr(watch_, qdev::TCSANOW, &t), 0);
  ASSERT_EQ(qdev::set_modem(watch_, TIOCM_DTR), 0);

  Mevo m({"-i", port_}, env());
  ASSERT_TRUE(m.shows("\r  4800 BAUD 8 NONE 1 SWFC=OFF HWFC=ON ")) << m.screen();
  ASSERT_TRUE(m.shows(kSignOn)) << m.screen();
  m.type("~.");
  EXPECT_EQ(m.status(), 0) << m.errors();
  const termios after = port_settings();
  EXPECT_EQ(std::memcmp(&after, &t, sizeof t), 0) << "nothing written to the port";
  EXPECT_EQ(port_modem() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR) << "signals as they were";
}

TEST_F(MevoOnLoop, ALiveLockKeepsMevoOff) {
  Mevo first({port_}, env());
  ASSERT_TRUE(first.shows(kSignOn)) << first.screen();
  Mevo second({port_}, env());
  EXPECT_EQ(second.status(), 1);
  EXPECT_EQ(second.errors(), port_ + ": already in use.\n");
  EXPECT_EQ(locks_.count(), 1u) << "the first one's lock stands";
  first.type("~.");
  EXPECT_EQ(first.status(), 0);
}

TEST_F(MevoOnLoop, StartUpRefusals) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string screen_starts, errors_start;
  };
  const std::string usage = "usage: mevo [[-125678ENOhsi] [[baudrate]] [port]\n";
  const Case cases[] = {
      {"no arguments", {}, usage, ""},
      {"an unknown option", {"-z", port_}, usage, ""},
      {"no port", {"-E", "19200"}, "No port specified.\n" + usage, ""},
      {"a rate not in the table", {"12345", port_}, "Can't set baudrate 12345\n" + usage, ""},
      {"no such port", {host_.node("ttyc0z")}, "", host_.node("ttyc0z") + ": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Mevo m(c.args, env());
    EXPECT_EQ(m.status(), 1);
    // The terminal was never made raw, so its own output processing shows newlines as CR LF.
    std::string shown = m.screen();
    for (std::size_t at; (at = shown.find("\r\n")) != std::string::npos;) {
      shown.erase(at, 1);
    }
    EXPECT_EQ(shown.substr(0, c.screen_starts.size()), c.screen_starts) << shown;
    EXPECT_EQ(m.errors().substr(0, c.errors_start.size()), c.errors_start) << m.errors();
    EXPECT_EQ(shown.find("closing"), std::string::npos);
    EXPECT_EQ(locks_.count(), 0u) << "no lock left behind";
  }
}

TEST_F(MevoOnLoop, OpenThatHangsTimesOut) {
  // The loopback driver's waiting node: its open returns only when interrupted. The alarm
  // is sent early rather than waited for.
  const std::string waiting = host_.node(loop::kBlockNode);
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGALRM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old), 0);
  // The child starts with SIGALRM blocked and pending; mevo unblocks it once its time-out
  // handler is in place.
  Mevo m({waiting}, env());
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::kill(m.pid(), SIGALRM);
  EXPECT_EQ(m.status(), 1);
  EXPECT_NE(m.screen().find("Timed out: port busy or another process is blocked in open."),
            std::string::npos)
      << m.screen();
  EXPECT_EQ(locks_.count(), 0u);
}

} // namespace
