// qdhost's start and stop as a whole: refused configurations, a stop with ports open, the
// unit nodes of Lanvara units.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qdev/qdev.h"
#include "qdtest/child_wait.h"
#include "qdtest/host_process.h"

namespace {

using qdtest::Host;
using qdtest::HostSetup;

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Lifecycle, AMalformedFileIsRefusedWithWhereAndWhyAndNothingIsServed) {
  struct Case {
    const char* what;
    std::string conf;
    std::string topology;
    std::string file; // the refused file's name in the work directory
    std::string where_why;
  };
  const std::string good_conf = "forceload=1;\nallow_unload=1;\n";
  const std::string good_topology = "qmx 0:2 QMX-8S-115A\n  port 0 loopback\n";
  const Case cases[] = {
      {"conf syntax", "forceload=1;\n# fine so far\nallow_unload=;\n", good_topology, "qd.conf",
       ":3: "},
      {"topology port", good_conf, "qmx 0:2 QMX-16S-115A\n  port 16 loopback\n", "topology",
       ":2: port 16 beyond the 16 ports of QMX-16S-115A"},
      {"topology model", good_conf, "\n# a comment\nqmx 0:2 QMX-99\n", "topology",
       ":3: unknown model 'QMX-99'"},
      {"topology address", good_conf, "device 0:2 disk\nqmx 0:2 QMX-8S-115A\n", "topology",
       ":2: address 0:2 is taken"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host host({.conf = c.conf, .topology = c.topology});
    EXPECT_FALSE(host.start());
    EXPECT_EQ(host.exit_status(), 1) << host.log();
    EXPECT_NE(host.log().find(host.path(c.file) + c.where_why), std::string::npos) << host.log();
    EXPECT_EQ(host.log().find("serving"), std::string::npos) << host.log();
    EXPECT_TRUE(host.leftovers().empty());
  }
}

TEST(Lifecycle, StoppedWithPortsOpenItDeliversWhatItAcknowledgedAndLeavesNothing) {
  // Port 1 sends at its line's speed into a file, so the line is still on its way when the
  // stop comes: 2000 bytes at 9600 bit/s take about two seconds.
  HostSetup setup;
  setup.topology = "qmx 0:2 QMX-8S-115A\n"
                   "  port 0 loopback\n"
                   "  port 1 file out.txt paced\n";
  Host host(setup);
  ASSERT_TRUE(host.start()) << host.log();

  int looped = qdev::open(host.node("ttyc20").c_str(), O_RDWR | O_NDELAY);
  ASSERT_GE(looped, 0) << std::strerror(errno);
  int paced = qdev::open(host.node("ttyc21").c_str(), O_RDWR | O_NDELAY);
  ASSERT_GE(paced, 0) << std::strerror(errno);
  std::string text;
  for (int i = 0; text.size() < 2000; ++i) {
    text += "line " + std::to_string(i) + " of what the driver acknowledged\n";
  }
  ASSERT_EQ(qdev::write(looped, "pending", 7), 7);
  ASSERT_EQ(qdev::write(paced, text.data(), text.size()), static_cast<ssize_t>(text.size()));

  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
  EXPECT_EQ(file_text(host.path("out.txt")), text);
  EXPECT_EQ(host.log().find("kernel:"), std::string::npos) << "no kernel reports: " << host.log();

  // The program's descriptors see the end of their devices.
  char buf[16];
  EXPECT_EQ(qdev::read(paced, buf, sizeof buf), 0);
  EXPECT_EQ(qdev::close(paced), 0);
  EXPECT_EQ(qdev::close(looped), 0);
}

TEST(Lifecycle, SigintStopsItTooAndUnloadsTheDriver) {
  Host host;
  ASSERT_TRUE(host.start()) << host.log();
  EXPECT_EQ(host.stop(SIGINT), 0) << host.log();
  EXPECT_EQ(host.log().find("not unloaded"), std::string::npos) << host.log();
}

TEST(Lifecycle, WithUnloadingDisallowedItStillStopsAndSaysTheDriverStayed) {
  Host host({.conf = "forceload=1;\nname=\"qd\" parent=\"pseudo\" instance=0;\n",
             .topology = "qmx 0:2 QMX-8S-115A\n"});
  ASSERT_TRUE(host.start()) << host.log();
  EXPECT_EQ(host.stop(), 0) << host.log();
  EXPECT_NE(host.log().find("qd driver not unloaded"), std::string::npos) << host.log();
}

// Pty far ends, emulated modules and clients cost no host thread: the kernel's CPU thread
// serves them all, beside qdhost's main thread.
TEST(Lifecycle, ABigSystemWithClientsRunsOnAFewHostThreads) {
  const std::string at = qdtest::own_loopback_address();
  HostSetup setup;
  setup.topology = "qmx 0:2 QMX-126S-115\n"
                   "  port 0 pty\n"
                   "  port 1 pty\n"
                   "  port 2 pty\n"
                   "  port 3 pty\n"
                   "  port 4-125 loopback\n"
                   "lanvara " +
                   at +
                   " Lanvara8S-115A listen=0\n"
                   "lanvara " +
                   at + " Lanvara16S-115A listen=0\n";
  Host host(setup);
  ASSERT_TRUE(host.start()) << host.log();
  std::vector<int> fds;
  for (const char* node : {"ttyc20", "ttyc21", "ttyc24", "ttyc25", "ttyc26", "ttyc27"}) {
    fds.push_back(qdev::open(host.node(node).c_str(), O_RDWR | O_NDELAY));
    ASSERT_GE(fds.back(), 0) << node << ": " << std::strerror(errno);
  }
  const auto threads = qdtest::dir_entries("/proc/" + std::to_string(host.pid()) + "/task");
  EXPECT_LE(threads.size(), 4u);
  for (int fd : fds) {
    EXPECT_EQ(qdev::close(fd), 0);
  }
  EXPECT_EQ(host.stop(), 0) << host.log();
}

TEST(Lifecycle, LanvaraUnitNodesComeWithTwoModulesToPop) {
  HostSetup setup;
  setup.conf = "allow_unload=1;\n"
               "vrn0=\"Lanvara8S-115A,127.0.0.2\";\n"
               "vrn1a=\"Lanvara16S-115A,127.0.0.3\";\n"
               "name=\"qd\" parent=\"pseudo\" instance=0;\n";
  setup.topology = "qmx 0:2 QMX-8S-115A\n";
  Host host(setup);
  ASSERT_TRUE(host.start()) << host.log();
  EXPECT_NE(host.log().find("Lanvara unit vrn1a: Lanvara16S-115A at 127.0.0.3, unit node vrnn1a"),
            std::string::npos)
      << host.log();
  for (const char* node : {"vrnn0", "vrnn1a"}) {
    SCOPED_TRACE(node);
    int fd = qdev::open(host.node(node).c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(qdev::ioctl(fd, I_POP, 0), 0);
    EXPECT_EQ(qdev::ioctl(fd, I_POP, 0), 0);
    EXPECT_EQ(qdev::ioctl(fd, I_POP, 0), -1) << "only two were pushed";
    EXPECT_EQ(qdev::close(fd), 0);
  }
  // Ports get none.
  int port = qdev::open(host.node("ttyc20").c_str(), O_RDWR | O_NDELAY);
  ASSERT_GE(port, 0) << std::strerror(errno);
  EXPECT_EQ(qdev::ioctl(port, I_POP, 0), -1);
  EXPECT_EQ(qdev::close(port), 0);
  EXPECT_EQ(host.stop(), 0) << host.log();
}

} // namespace
