// kvetherd in the whole system: qdhost with a Lanvara unit in qd.conf whose module is the
// emulated one on a loopback address, the daemon on the unit's node, a port of the unit
// reached through the device access library.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>

#include "child.h"
#include "qdev/qdev.h"
#include "qdtest/host_process.h"
#include "temp_dir.h"

namespace kvtest {
namespace {

constexpr const char kOnline[] = "Orvane Lanvara unit online";

// A loopback address of this test process alone, for the module to listen on.
std::string module_address() {
  const unsigned n = static_cast<unsigned>(::getpid()) % (250u * 250u);
  return "127.66." + std::to_string(n / 250 + 1) + "." + std::to_string(n % 250 + 2);
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

class UnitHost : public ::testing::Test {
protected:
  void SetUp() override {
    qdtest::HostSetup setup;
    setup.conf = "forceload=1;\nallow_unload=1;\nvrn0=\"Lanvara8S-115A," + address_ +
                 "\";\nname=\"qd\" parent=\"pseudo\" instance=0;\n";
    setup.topology = "lanvara " + address_ +
                     " Lanvara8S-115A firmware=V6.1\n"
                     "  port 0 loopback\n";
    host_ = std::make_unique<qdtest::Host>(setup);
    ASSERT_TRUE(host_->start()) << host_->log();
  }

  // The daemon in the foreground, so that this test holds it as its child.
  void start_daemon() {
    daemon_ = host_->spawn(QD_PROGRAM_KVETHERD, {"vrnn0"},
                           {"KVETHERD_LOGDIR=" + logs_.path(), "KVETHERD_FOREGROUND=1"});
    ASSERT_TRUE(daemon_->started());
    log_ = logs_ / "vrnn0." + std::to_string(daemon_->pid()) + ".log";
  }
  bool await_online(std::size_t times) {
    const bool ok =
        wait_file(log_, [times](const std::string& t) { return count(t, kOnline) >= times; });
    EXPECT_TRUE(ok) << "the unit did not come online " << times << " times:\n"
                    << read_file(log_) << host_->log();
    return ok;
  }

  // Writes a line into a port of the unit and reads it back through the loopback plug.
  void echo_through_port(const std::string& line) {
    const int fd = qdev::open(host_->node("ttyn00").c_str(), O_RDWR | O_NDELAY);
    ASSERT_GE(fd, 0) << std::strerror(errno) << "\n" << host_->log();
    ASSERT_EQ(qdev::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    std::string got;
    while (got.size() < line.size()) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, kWaitMs) != 1) {
        ADD_FAILURE() << "nothing more came after \"" << got << "\"";
        break;
      }
      char buf[256];
      const ssize_t n = qdev::read(fd, buf, std::min(sizeof buf, line.size() - got.size()));
      if (n <= 0) {
        ADD_FAILURE() << "read: " << std::strerror(errno);
        break;
      }
      got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, line);
    EXPECT_EQ(qdev::close(fd), 0);
  }

  const std::string address_ = module_address();
  nettest::TempDir logs_;
  std::unique_ptr<qdtest::Host> host_;
  std::unique_ptr<qdtest::Child> daemon_;
  std::string log_;
};

// The daemon's requests on the unit node are privileged.
class Relay : public UnitHost {
protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "the daemon's requests on the unit node need root";
    }
    UnitHost::SetUp();
  }
};

// What another user gets: qdhost runs as that user, so the unit node is that user's to open.
class UnprivilegedDaemon : public UnitHost {
protected:
  void SetUp() override {
    if (::geteuid() == 0) {
      GTEST_SKIP() << "shows what a user other than root gets (CI runs the suite as one too)";
    }
    UnitHost::SetUp();
  }
};

TEST_F(UnprivilegedDaemon, TheDriverRefusesItsFirstRequestAndItEnds) {
  start_daemon();
  EXPECT_EQ(daemon_->wait().status, 1);
  EXPECT_EQ(log_lines(read_file(log_)),
            (std::vector<std::string>{"Orvane Lanvara Daemon running",
                                      "ioctl(VRNGETUPTR): Operation not permitted (errno=1)",
                                      "Orvane Lanvara Daemon shutting down"}));
  EXPECT_EQ(host_->stop(), 0) << host_->log();
}

TEST_F(Relay, PortBytesTravelThroughTheModuleAndTheUnitComesBackAfterADrop) {
  // Without the daemon the unit stays offline: its ports cannot be opened.
  EXPECT_LT(qdev::open(host_->node("ttyn00").c_str(), O_RDWR | O_NDELAY), 0);
  EXPECT_EQ(errno, ENODEV);

  start_daemon();
  ASSERT_TRUE(await_online(1));
  // qdhost's standard error arrives through a pipe: wait for it rather than read it.
  EXPECT_TRUE(host_->wait_log("Lanvara8S-115A (V6.1) module online at " + address_))
      << "the driver took the module's firmware from the inquiry\n"
      << host_->log();
  echo_through_port("through the module\n");

  // A host that connects to the module takes its place: the module drops the daemon.
  const int intruder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(intruder, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(10001);
  to.sin_addr.s_addr = ::inet_addr(address_.c_str());
  ASSERT_EQ(::connect(intruder, reinterpret_cast<sockaddr*>(&to), sizeof to), 0)
      << std::strerror(errno);
  ASSERT_TRUE(await_online(2));
  ::close(intruder);
  EXPECT_TRUE(host_->wait_log("Orvane vrn0: Module offline")) << host_->log();
  echo_through_port("and again after the reconnection\n");

  daemon_->signal(SIGTERM);
  EXPECT_EQ(daemon_->wait().status, 1);
  const auto lines = log_lines(read_file(log_));
  EXPECT_TRUE(in_order(
      lines, {"Orvane Lanvara Daemon running",
              "Unit type: Lanvara8S-115A; IP Address: " + address_ + " (" +
                  [this] {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "%8x", ntohl(::inet_addr(address_.c_str())));
                    return std::string(hex);
                  }() +
                  ") [qd.conf]",
              "Socket connection established", "Received FAS_UNIT_LOCK",
              "Received FAS_UNIT_INQUIRY", "Received inquiry data", "Updated driver information",
              kOnline, "read from socket: Success (errno=0)", "Orvane Lanvara unit offline",
              "Socket connection established", "Updated driver information", kOnline,
              "Orvane Lanvara Daemon received a SIGTERM", "Orvane Lanvara Daemon shutting down"}))
      << read_file(log_);
  // Closing the unit node takes the unit offline in the driver.
  EXPECT_TRUE(host_->wait_log("Orvane vrn0: Module offline", qdtest::kLimit, 2)) << host_->log();
  EXPECT_LT(qdev::open(host_->node("ttyn00").c_str(), O_RDWR | O_NDELAY), 0);
  EXPECT_EQ(host_->stop(), 0) << host_->log();
}

TEST_F(Relay, TheDaemonEndsWhenItsUnitNodeGoes) {
  start_daemon();
  ASSERT_TRUE(await_online(1));
  EXPECT_EQ(host_->stop(), 0) << host_->log();
  EXPECT_EQ(daemon_->wait().status, 1);
  const auto lines = log_lines(read_file(log_));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2].rfind("read from driver", 0), 0u) << read_file(log_);
  EXPECT_EQ(lines.back(), "Orvane Lanvara Daemon shutting down");
}

} // namespace
} // namespace kvtest
