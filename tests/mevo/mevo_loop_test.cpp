// mevo's start-up refusals, on qdhost's loopback driver (no emulated units needed), and an
// open that hangs, on its node whose open returns only when interrupted.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "mevo_on_pty.h"
#include "qdhost/loop_codes.h"
#include "qdtest/host_process.h"
#include "temp_dir.h"

namespace {

using mevotest::Mevo;
using mevotest::TempDir;
namespace loop = qdhost::loop;

class MevoOnLoop : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(host_.start()) << host_.log();
    port_ = host_.node(loop::kDialoutNode);
  }
  void TearDown() override { EXPECT_EQ(host_.stop(), 0) << host_.log(); }
  std::vector<std::string> env() const { return {"MEVO_LOCKDIR=" + locks_.path()}; }

  qdtest::Host host_{{.args = {"--test-loop"}}};
  TempDir locks_;
  std::string port_;
};

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
