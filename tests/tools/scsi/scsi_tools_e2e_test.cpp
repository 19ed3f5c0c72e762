// kvscanbus and kvupdate as programs: against qdhost with the qd driver on emulated units,
// and their checks before any unit is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "qdev/qdev.h"
#include "qdtest/child_guard.h"
#include "qdtest/child_wait.h"
#include "qdtest/host_process.h"
#include "qdtest/program_copy.h"

namespace {

using qdtest::Host;
using qdtest::Output;

constexpr const char* kTopology = "qmx 0:2 QMX-8S1P-115A firmware=V2.3\n"
                                  "  port 0 loopback\n"
                                  "qmx 0:4 QMX2-7POD-8S1P57 firmware=V2.3 pods=0x05\n"
                                  "  port 0 loopback\n"
                                  "device 0:5 disk vendor=QUANTRIX product=QD-540S revision=1.05\n"
                                  "qmx 1:3 QMX-8S-57 vendor=Brannoc firmware=V1.9\n";

constexpr const char* kNoRoot = "You must be super user to run this utility.\n";

class ScsiTools : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "kvscanbus and kvupdate work only for root";
    }
    ASSERT_TRUE(host.start()) << host.log();
  }
  void TearDown() override {
    if (host.pid() > 0) {
      EXPECT_EQ(host.stop(), 0) << host.log();
    }
  }

  // An image file in the work directory whose header names the product and version.
  std::string image(const std::string& name, const std::string& head) {
    const std::string path = host.path(name);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    const std::string bytes = head + std::string(400 - head.size(), '\x3C');
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }
  Output update(const std::string& answers) {
    return host.run(QD_PROGRAM_KVUPDATE, {}, {"TERM=dumb"}, answers);
  }

  Host host{{.topology = kTopology}};
};

TEST_F(ScsiTools, BusScanListsUnitsAndOtherDevices) {
  const Output o = host.run(QD_PROGRAM_KVSCANBUS, {});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  const std::string want = "Scanning SCSI bus...\n"
                           "\rBus 0 Target 0: \rBus 0 Target 1: "
                           "\rBus 0 Target 2:  Comm    QMX-8S1P-115A    OrvaneCo V2.3\n"
                           "\rBus 0 Target 3: "
                           "\rBus 0 Target 4:  Comm    QMX2-7POD-8S1P57 OrvaneCo V2.3\n"
                           "\rBus 0 Target 5:  Disk    QD-540S          QUANTRIX 1.05\n"
                           "\rBus 0 Target 6: "
                           "\rBus 1 Target 0: \rBus 1 Target 1: \rBus 1 Target 2: "
                           "\rBus 1 Target 3:  Comm    QMX-8S-57        Brannoc  V1.9\n";
  EXPECT_TRUE(o.out.starts_with(want)) << o.out;
  EXPECT_TRUE(o.out.ends_with("\rBus 7 Target 6: \r                              \r")) << o.out;
}

TEST_F(ScsiTools, UpdateOfTheMainUnit) {
  const std::string file = image("main.prm", "QMX-8S1P-115A V2.7");
  const Output o = update("1\n\n" + file + "\n\n\nq\n");
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.out.find(" 1.     0     2     QMX-8S1P-115A         V2.3\n"
                       " 2.     0     4     QMX2-7POD-8S1P57      V2.3\n"
                       " 3.     1     3     QMX-8S-57             V1.9\n"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("\nUnit successfully programmed.  <CR> to continue."), std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find(" 1.     0     2     QMX-8S1P-115A         V2.7\n"), std::string::npos)
      << "the unit reports the new version: " << o.out;
  // What the unit now answers to INQUIRY.
  const Output scan = host.run(QD_PROGRAM_KVSCANBUS, {});
  EXPECT_NE(scan.out.find("QMX-8S1P-115A    OrvaneCo V2.7\n"), std::string::npos) << scan.out;
}

TEST_F(ScsiTools, UpdateOfOnePod) {
  const std::string file = image("pod.prm", "QMX-POD-8S1P V1.4");
  // Entry 3 of the pod list is pod 2.
  const Output o = update("2\n\n3\n" + file + "\n\n\nq\n");
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("\nUnit(s) successfully programmed.  <CR> to continue."), std::string::npos)
      << o.out;
  // A second look at the pods, leaving at the pod prompt.
  const Output again = update("2\n\nm\n\nq\n");
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_NE(again.out.find(" 1.     0     4      -   QMX2-7POD-8S1P57      V2.3 (main SCSI unit)\n"
                           " 2.     0     4      0   QMX-POD-8S1P          V1.0 (pod)\n"
                           " 3.     0     4      2   QMX-POD-8S1P          V1.4 (pod)\n"),
            std::string::npos)
      << again.out;
}

// A download declined at its last question still restarts the unit out of reprogramming
// mode, also when the pods were sent before the main unit's step: its ports work again.
TEST_F(ScsiTools, DeclinedDownloadLeavesTheUnitWorking) {
  const std::string main = image("main.prm", "QMX-8S1P-115A V2.7");
  const std::string pods = image("pod.prm", "QMX-POD-8S1P V1.4");
  const std::string pod_main = image("podmain.prm", "QMX2-7POD-8S1P57 V2.8");
  const struct {
    std::string answers;
    const char* port;
  } rows[] = {
      {"1\n\n" + main + "\nn\n\nq\n", "ttyc20"},
      {"2\n\na\n" + pods + "\n\n" + pod_main + "\nn\n\nq\n", "ttyc400"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.port);
    const Output o = update(r.answers);
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("\nUnit(s) not programmed.\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("Couldn't restart firmware"), std::string::npos) << o.out;
    const Output check = host.run(QD_PROGRAM_PORTCHECK, {r.port});
    EXPECT_EQ(check.status, 0) << check.out << check.err << host.log();
  }
}

TEST_F(ScsiTools, LockRefusedWhileAPortIsOpen) {
  const int fd = qdev::open(host.node("ttyc20").c_str(), O_RDWR | O_NDELAY);
  ASSERT_GE(fd, 0);
  const Output o = update("1\n\n\nq\n");
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  // The driver's refusal (EBUSY after its 15 checks) and the stream head's default time-out
  // of the request (ETIME) come about together: either ends the attempt.
  EXPECT_NE(o.err.find("\nCouldn't lock access to unit.  Cannot program.\n"), std::string::npos)
      << o.err;
  EXPECT_NE(o.out.find("Couldn't lock bus 0 target 2\n"), std::string::npos) << o.out;
  EXPECT_TRUE(host.wait_log("QMXLOCK: could not clear line 0 at module.\n")) << host.log();
  EXPECT_EQ(o.out.find("Switching unit to reprogramming mode"), std::string::npos);
  qdev::close(fd);
  // The port is left usable.
  const Output check = host.run(QD_PROGRAM_PORTCHECK, {"ttyc20"});
  EXPECT_EQ(check.status, 0) << check.out << check.err << host.log();
}

// Whether a program run without privilege (as user nobody when the test runs as root, else
// as the test's own user) is refused as expected: 0 when it is, 2 when it is not, 3 when
// the ids could not change.
int refused_unprivileged(const char* program) {
  if (::geteuid() != 0) {
    qdtest::Child c(program, {});
    const Output o = c.wait();
    return o.status == 1 && o.err == kNoRoot && o.out.empty() ? 0 : 2;
  }
  const qdtest::ProgramCopy copy(program, 65534);
  const pid_t parent = ::getpid();
  const pid_t pid = qdtest::fork_child();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(3);
    }
    qdtest::stay_with(parent);
    qdtest::Child c(copy.path(), {});
    const Output o = c.wait();
    ::_exit(o.status == 1 && o.err == kNoRoot && o.out.empty() ? 0 : 2);
  }
  return qdtest::wait_child(pid);
}

TEST(ScsiToolsStart, RefusedUnlessRoot) {
  EXPECT_EQ(refused_unprivileged(QD_PROGRAM_KVUPDATE), 0);
  EXPECT_EQ(refused_unprivileged(QD_PROGRAM_KVSCANBUS), 0);
}

TEST(ScsiToolsStart, UsageAndNoDiagnosticNode) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "kvscanbus and kvupdate check for root first";
  }
  const std::vector<std::string> nowhere = {"QD_DEVDIR=/nonexistent/qdtest"};
  qdtest::Child usage(QD_PROGRAM_KVUPDATE, {"-x"}, nowhere);
  Output o = usage.wait();
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "usage: kvupdate\nFully interactive, no command line options.\n");
  qdtest::Child update(QD_PROGRAM_KVUPDATE, {}, nowhere);
  o = update.wait();
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Can't open diagnostic port /dev/qmx/qmxdiag\n");
  // kvscanbus ignores arguments.
  qdtest::Child scan(QD_PROGRAM_KVSCANBUS, {"extra"}, nowhere);
  o = scan.wait();
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Can't open diagnostic port '/dev/qmx/qmxdiag'\n");
  EXPECT_EQ(o.out, "");
}

} // namespace
