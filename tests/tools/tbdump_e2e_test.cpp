// tbdump on the driver under qdhost: the ring of the build's trace mode, before and after it
// wraps, the refusals of the others, and its privilege check.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "ksys/termios.h"
#include "qdev/qdev.h"
#include "qdev/tty.h"
#include "qdio.h"
#include "tool_host.h"

namespace {

using tooltest::HeldPort;
using tooltest::kNobody;
using tooltest::node;

constexpr std::string_view kMode = QD_TRACE_MODE_NAME;
constexpr const char* kEnd = "\nEND\n";

// The option that fetches the ring port ioctls are traced into, its title and its size.
struct Ring {
  std::vector<std::string> args;
  std::string title;
  std::size_t size;
};

Ring port_ring(const std::string& port) {
  if (kMode == "unit") {
    return {{"-u", node(port)}, "Unit Trace Buffer: bus 0 target 2\n\n", 32768};
  }
  if (kMode == "line") {
    return {{"-l", node(port)}, "Line Trace Buffer: bus 0 target 2 line 0x1\n\n", 8192};
  }
  return {{"-g"}, "Global Trace Buffer\n\n", 131072};
}

// The ring's text as printed: between the title and the end line.
std::string body_of(const qdtest::Output& o, const Ring& r) {
  EXPECT_EQ(o.out.rfind(r.title, 0), 0u) << o.out.substr(0, 200);
  EXPECT_GE(o.out.size(), r.title.size() + std::strlen(kEnd));
  EXPECT_EQ(o.out.substr(o.out.size() - std::strlen(kEnd)), kEnd);
  return o.out.substr(r.title.size(), o.out.size() - r.title.size() - std::strlen(kEnd));
}

// tbdump checks the real user id before anything else: for another user every run ends there.
class TbdumpRun : public tooltest::ToolHost {
protected:
  void SetUp() override {
    if (::getuid() != 0) {
      GTEST_SKIP() << "tbdump works only for root";
    }
    ToolHost::SetUp();
  }
};

TEST_F(TbdumpRun, PrintsTheRingOldestFirstBeforeAndAfterItWraps) {
  if (kMode == "none") {
    GTEST_SKIP() << "no ring in this build";
  }
  const Ring ring = port_ring("ttyc21");
  HeldPort p("ttyc21");
  qd_ext_ctl xc{};
  strioctl s{qd_ioc(QMXGETEXTCTL), 0, sizeof xc, reinterpret_cast<char*>(&xc)};
  ASSERT_GE(qdev::ioctl(p.fd(), I_STR, &s), 0);

  qdtest::Output o = run(QD_PROGRAM_TBDUMP, ring.args);
  ASSERT_EQ(o.status, 0) << o.err;
  std::string body = body_of(o, ring);
  ASSERT_FALSE(body.empty());
  EXPECT_EQ(body[0], '~');
  EXPECT_LT(body.size(), ring.size) << "not wrapped yet";
  EXPECT_LT(body.find("qdf_enable_fw"), body.rfind("qdf_get_extended_ioctl"));

  // Every request leaves more than 20 characters: enough of them wrap the ring.
  for (std::size_t i = 0; i < ring.size / 20; ++i) {
    ASSERT_GE(qdev::ioctl(p.fd(), I_STR, &s), 0) << std::strerror(errno);
  }
  int bits = 0;
  ASSERT_EQ(qdev::get_modem(p.fd(), &bits), 0);

  o = run(QD_PROGRAM_TBDUMP, ring.args);
  ASSERT_EQ(o.status, 0) << o.err;
  body = body_of(o, ring);
  EXPECT_EQ(body.size(), ring.size) << "a wrapped ring holds no NUL";
  EXPECT_EQ(body[0], '~');
  EXPECT_EQ(body.find("qdf_enable_fw"), std::string::npos) << "overwritten";
  EXPECT_GT(body.rfind("qdf_get_modem_ioctl"), body.rfind("qdf_get_extended_ioctl"))
      << "the newest record comes last";
}

TEST_F(TbdumpRun, RingsTheBuildDoesNotKeepAreRefused) {
  const std::string no_ring = "Driver not configured for (that type of) tracing.\n";
  HeldPort p("ttyc21");
  struct Case {
    std::vector<std::string> args;
    bool kept;
  };
  const Case cases[] = {
      {{"-g"}, kMode != "none"},
      {{"-u", node("ttyc21")}, kMode == "unit"},
      {{"-l", node("ttyc21")}, kMode == "line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    qdtest::Output o = run(QD_PROGRAM_TBDUMP, c.args);
    if (c.kept) {
      EXPECT_EQ(o.status, 0) << o.err;
      EXPECT_EQ(o.err, "");
    } else {
      EXPECT_EQ(o.status, 1);
      EXPECT_EQ(o.err, no_ring);
      EXPECT_EQ(o.out, "");
    }
  }
}

TEST_F(TbdumpRun, PortsWithoutAUnitOrALine) {
  if (kMode == "unit") {
    // /dev/null's minor number names a bus and target without a unit.
    qdtest::Output o = run(QD_PROGRAM_TBDUMP, {"-u", "/dev/null"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Specified device was not found.\n");
  } else if (kMode == "line") {
    qdtest::Output o = run(QD_PROGRAM_TBDUMP, {"-l", node("ttyc2f")});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Line has never been active.  No trace data.\n");
  } else {
    GTEST_SKIP() << "no unit or line rings in this build";
  }
}

TEST_F(TbdumpRun, UsageAndNames) {
  const std::string usage = "\nUsage: tbdump [-gul] [[portname]]\n";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-x"}, {"-u"}, {"port"}, {"-l", node("ttyc20"), "-q"}}) {
    qdtest::Output o = run(QD_PROGRAM_TBDUMP, args);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(usage), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
  qdtest::Output o = run(QD_PROGRAM_TBDUMP, {"-u", node("nosuch")});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "/dev/qmx/nosuch: No such file or directory\nCouldn't stat device.\n");
  o = run(QD_PROGRAM_TBDUMP, {"-l", "/tmp", "-g"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "'/tmp' not a character device\n") << "each port is examined at once";
  // Before the options after it are read, even a bad one.
  o = run(QD_PROGRAM_TBDUMP, {"-l", "/tmp", "-q"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "'/tmp' not a character device\n");
  o = run(QD_PROGRAM_TBDUMP, {"-u", node("nosuch"), "-l"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "/dev/qmx/nosuch: No such file or directory\nCouldn't stat device.\n");
}

class TbdumpAccess : public tooltest::ToolHost {};

TEST_F(TbdumpAccess, RefusedToAnotherUser) {
  const qdtest::Output o = run_unprivileged(QD_PROGRAM_TBDUMP, {"-g"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "You must be root to use this utility.\n");
  EXPECT_EQ(o.out, "");
}

TEST_F(TbdumpAccess, NeedsTheRealUserIdOfRoot) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "changing user ids needs root";
  }
  qdtest::Output o = run_as(kNobody, 0, QD_PROGRAM_TBDUMP, {"-g"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "You must be root to use this utility.\n");
  if (kMode != "none" && tooltest::kRunsUnderMixedIds) {
    // Past the check of the real id, the node itself is root's alone (mode 0600), and
    // opening it goes by the effective id.
    o = run_as(0, kNobody, QD_PROGRAM_TBDUMP, {"-g"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Couldn't open diagnostic node /dev/qmx/qmxdiag: Permission denied\n");
  }
}

} // namespace
