// kvstty and kvstty24 on ports of the driver under qdhost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ksys/termios.h"
#include "qdio.h"
#include "tool_host.h"

namespace {

using tooltest::HeldPort;
using tooltest::kNobody;

constexpr const char* kUsageHead = "Usage: kvstty [-av] [modes] [[ < QMX_VRN_ttydev]]\n";

unsigned ext_of(const qd_ext_ctl& xc) {
  return (xc.control & QDX_SPEED_EXT) >> QDX_SPEED_EXT_SHIFT;
}

class KvsttyRun : public tooltest::ToolHost {};

TEST_F(KvsttyRun, ShowsAPort) {
  qdtest::Output o = run(QD_PROGRAM_KVSTTY, {"port", "ttyc20"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "(ttyc20) 9600 loop=off errlev=default\n");

  o = run(QD_PROGRAM_KVSTTY24, {"PORT=ttyc20", "-av"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "Port=ttyc20\n"
                   "Effective baud rate: 9600\n"
                   "Hardware local loopback: off\n"
                   "Error reporting level: default\n"
                   "Baud rate extension factor: 0\n"
                   "Close watchdog timer: 60 secs \n"
                   "Local close watchdog timer: 300 secs \n"
                   "DTR delay timer: 2000 millisecs \n"
                   "Guard band delay timer: 200 millisecs \n"
                   "Output completion watchdog timer: 0 secs (not enabled)\n"
                   "Local output completion watchdog timer: 0 secs (not enabled)\n"
                   "Product ID: QMX-16S-115A\n"
                   "Firmware version: V2.3\n"
                   "target ID: 2\n");
}

// Without a port list kvstty works on its standard input: a port that the program before
// it opened and passed on.
TEST_F(KvsttyRun, WorksOnThePortThatIsStandardInput) {
  HeldPort p("ttyc21");
  qdtest::Output o = run(QD_PROGRAM_WITHPORT, {"ttyc21", QD_PROGRAM_KVSTTY});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "(STDIN) 9600 loop=off errlev=default\n");
  o = run(QD_PROGRAM_WITHPORT, {"ttyc21", QD_PROGRAM_KVSTTY, "cltmr=42"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(p.ext_now().cltmr, 42u);
}

TEST_F(KvsttyRun, SetsASpeedAboveB38400InEachBuild) {
  HeldPort p("ttyc21"), q("ttyc22"); // a speed lasts while its port stays open
  qdtest::Output o = run(QD_PROGRAM_KVSTTY, {"port", "ttyc21", "57600"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "(ttyc21) 57600 loop=off errlev=default\n");
  EXPECT_EQ(p.termios_now().c_cflag & (CBAUD | CBAUDEXT), CBAUDEXT | (B57600 - 16));
  EXPECT_EQ(ext_of(p.ext_now()), 0u);

  o = run(QD_PROGRAM_KVSTTY24, {"port", "ttyc22", "115200"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "(ttyc22) 115200 loop=off errlev=default\n");
  EXPECT_EQ(p.termios_now().c_cflag & (CBAUD | CBAUDEXT), CBAUDEXT | (B57600 - 16));
  EXPECT_EQ(q.termios_now().c_cflag & (CBAUD | CBAUDEXT), B38400);
  EXPECT_EQ(ext_of(q.ext_now()), 3u);

  // The build with CBAUDEXT reads the other's setting as the same speed.
  o = run(QD_PROGRAM_KVSTTY, {"port", "ttyc22"});
  EXPECT_EQ(o.err, "(ttyc22) 115200 loop=off errlev=default\n");
}

TEST_F(KvsttyRun, ChangesTheRecordAndWritesBackOnlyWhatWasAskedFor) {
  HeldPort p("ttyc21");
  run(QD_PROGRAM_KVSTTY, {"port", "ttyc21", "19200"});
  qdtest::Output o = run(QD_PROGRAM_KVSTTY, {"port", "ttyc21", "cltmr=30", "GRDDEL", "250",
                                             "errlev", "verbose", "outtmr=7"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "") << "record settings turn the display off";
  const qd_ext_ctl xc = p.ext_now();
  EXPECT_EQ(xc.cltmr, 30u);
  EXPECT_EQ(xc.grddel, 25u);
  EXPECT_EQ(xc.outtmr, 7u);
  EXPECT_EQ(xc.lcltmr, 300u);
  EXPECT_EQ(xc.control & QDX_ERR_LEVEL, 2u);
  EXPECT_EQ(p.termios_now().c_cflag & CBAUD, B19200) << "the termios was not written back";

  o = run(QD_PROGRAM_KVSTTY, {"port", "ttyc21", "sane"});
  EXPECT_EQ(o.status, 0) << o.err;
  const qd_ext_ctl after = p.ext_now();
  EXPECT_EQ(after.cltmr, 60u);
  EXPECT_EQ(after.grddel, 20u);
  EXPECT_EQ(after.outtmr, 0u);
  EXPECT_EQ(after.control, 1u);
  EXPECT_EQ(p.termios_now().c_cflag & (CBAUD | CBAUDEXT | CIBAUD | CIBAUDEXT), B9600);
}

TEST_F(KvsttyRun, BaudextIsHeldToTheModelsLimit) {
  HeldPort p("ttyc22");
  qdtest::Output o = run(QD_PROGRAM_KVSTTY, {"port", "ttyc22", "baudext", "4", "-a"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err.rfind("ttyc22: baud extension is more than product limit.  Set to limit of "
                        "3.\n(ttyc22) 57600 loop=off errlev=default\nbaudext=3 ",
                        0),
            0u)
      << o.err;
  EXPECT_EQ(ext_of(p.ext_now()), 3u);
}

TEST_F(KvsttyRun, SeveralPortsAreAllChangedAndNothingIsShown) {
  HeldPort a("ttyc22"), b("ttyc23");
  qdtest::Output o = run(QD_PROGRAM_KVSTTY, {"ports", "ttyc22", "/dev/qmx/ttyc23", "errlev=quiet"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(a.ext_now().control & QDX_ERR_LEVEL, 0u);
  EXPECT_EQ(b.ext_now().control & QDX_ERR_LEVEL, 0u);

  // A failure on one port ends the run: later ports are not touched.
  o = run(QD_PROGRAM_KVSTTY, {"port", "ttyc22", "nosuch", "ttyc23", "cltmr=11"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "/dev/qmx/nosuch: No such file or directory\nCouldn't open specified port.\n");
  EXPECT_EQ(a.ext_now().cltmr, 11u);
  EXPECT_EQ(b.ext_now().cltmr, 60u);
}

TEST_F(KvsttyRun, Refusals) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
    bool usage;
  };
  const std::vector<Case> cases = {
      {{"port", "ttyc20", "230400"}, "Baudrate 230400 not supported on this product.\n", false},
      {{"port", "ttyc20", "1000"}, "Baudrate 1000 not supported\n", false},
      // The driver refuses a level above 2.
      {{"port", "ttyc20", "errlev", "5"},
       "Invalid argument\nError updating extended control info for line\n",
       false},
      {{"bogus", "port", "ttyc20"}, "Option 'bogus' not recognized\n", true},
      {{"port", "ttyc20", "cltmr", "x"}, "Numeric argument required for cltmr option\n", false},
      {{"loop=maybe"}, "loop requires on/off or 1/0 argument\n", true},
      {{}, "Error reading TTY params for line\n", true}, // standard input is no port
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    qdtest::Output o = run(QD_PROGRAM_KVSTTY, c.args);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err.rfind(c.err, 0), 0u) << o.err;
    EXPECT_EQ(o.err.find(kUsageHead) != std::string::npos, c.usage) << o.err;
  }
}

// The driver refuses the request with EPERM.
TEST_F(KvsttyRun, LoopbackNeedsPrivilegeToSwitchOn) {
  HeldPort p("ttyc23");
  qdtest::Output o = run_unprivileged(QD_PROGRAM_KVSTTY, {"port", "ttyc23", "loop=on"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Operation not permitted\nError updating extended control info for line\n");
  EXPECT_EQ(p.ext_now().control & QDX_LOOPBACK, 0u);
}

TEST_F(KvsttyRun, LoopbackNeedsNoPrivilegeToSwitchOff) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "switching loopback on first needs root";
  }
  HeldPort p("ttyc23");
  qdtest::Output o = run(QD_PROGRAM_KVSTTY, {"port", "ttyc23", "loop=ON"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(p.ext_now().control & QDX_LOOPBACK, 0u);
  o = run_as(kNobody, kNobody, QD_PROGRAM_KVSTTY, {"port", "ttyc23", "loop", "0"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(p.ext_now().control & QDX_LOOPBACK, 0u);
}

// A port whose open does not return: the loopback driver's node that waits in open.
TEST(KvsttyOpen, AnOpenThatHangsEndsAfterItsAlarm) {
  qdtest::Host host(qdtest::HostSetup{.args = {"--test-loop"}});
  ASSERT_TRUE(host.start()) << host.log();
  qdtest::Output o = host.run(QD_PROGRAM_KVSTTY, {"port", "loopwait", "-a"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Open of port 'loopwait' timed out.\n"
                   "Port may be blocked in open with another process.\n");
  EXPECT_EQ(host.stop(), 0) << host.log();
}

} // namespace
