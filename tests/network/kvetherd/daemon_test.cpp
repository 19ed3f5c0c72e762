// The daemon's start-up on the unit node and its cycle: offline, connection attempts,
// description, online, relay, with a scripted module and a clock that moves only while
// the daemon waits.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "fakes.h"
#include "kvetherd/daemon.h"

namespace kvtest {
namespace {

using kvetherd::Outcome;
using qdnet::VrnEvent;
using Lines = std::vector<std::string>;

class Daemon : public ::testing::Test {
protected:
  VirtualClock clock;
  CapturedLog log{clock};
  FakeUnitNode node;
  ScriptedConnector module;
  kvetherd::Daemon daemon{kvetherd::DaemonParts{node, module, clock, log.logger(), clock.stop}};
};

TEST_F(Daemon, StartOpensThePopsAndReadsTheDescription) {
  EXPECT_EQ(daemon.start("/dev/qmx/vrnn0", nullptr), Outcome::done);
  EXPECT_EQ(node.calls, (Lines{"open /dev/qmx/vrnn0", "pop", "pop", "VRNGETUPTR"}));
  EXPECT_EQ(log.lines(),
            (Lines{"Orvane Lanvara Daemon running",
                   "Unit type: Lanvara8S-115A; IP Address: 127.0.0.5 (7f000005) [qd.conf]"}));
  EXPECT_EQ(log.syslog, Lines{"Orvane Lanvara Daemon running"});
}

TEST_F(Daemon, AddressArgumentReplacesTheDriversAndReachesIt) {
  ASSERT_EQ(daemon.start("/dev/qmx/vrnn0", "10.1.2.3"), Outcome::done);
  EXPECT_EQ(log.lines().back(), "Unit type: Lanvara8S-115A; IP Address: 10.1.2.3 ( a010203) "
                                "[qd.conf]");
  module.script = {ScriptedConnector::success()};
  module.on_connect = [](Pair& p) { p.close_far(); };
  EXPECT_EQ(daemon.cycle(), Outcome::retry);
  ASSERT_EQ(module.addresses.size(), 1u);
  EXPECT_EQ(module.addresses[0], ::inet_addr("10.1.2.3"));
  ASSERT_EQ(node.set_records.size(), 1u);
  EXPECT_EQ(node.set_records[0].net_addr, ::inet_addr("10.1.2.3"));
}

TEST_F(Daemon, A16CharacterModelNameIsReadWithinItsField) {
  std::memcpy(node.description.model_name, "ABCDEFGHIJKLMNOP", 16);
  std::strcpy(node.description.fw_version, "V6.0"); // follows at once in the record
  ASSERT_EQ(daemon.start("vrnn0", nullptr), Outcome::done);
  EXPECT_EQ(log.lines().back(),
            "Unit type: ABCDEFGHIJKLMNOP; IP Address: 127.0.0.5 (7f000005) [qd.conf]");
}

TEST_F(Daemon, StartFailuresShutTheDaemonDown) {
  const struct {
    const char* name;
    std::function<void(FakeUnitNode&)> fault;
    Lines tail; // the last lines logged
  } cases[] = {
      {"open",
       [](FakeUnitNode& n) { n.open_error = ENOENT; },
       {"Orvane Lanvara Daemon running", "/dev/qmx/vrnn0: No such file or directory (errno=2)"}},
      {"first pop",
       [](FakeUnitNode& n) { n.pop_errors = {EINVAL}; },
       {"ioctl(I_POP) #1: Invalid argument (errno=22)",
        "There is likely something wrong with your /etc/iu.ap file.: Invalid argument "
        "(errno=22)"}},
      {"second pop",
       [](FakeUnitNode& n) {
         n.pop_errors = {0, EINVAL};
       },
       {"ioctl(I_POP) #2: Invalid argument (errno=22)",
        "There is likely something wrong with your /etc/iu.ap file.: Invalid argument "
        "(errno=22)"}},
      {"description",
       [](FakeUnitNode& n) { n.request_errors[VRNGETUPTR] = {EPERM}; },
       {"ioctl(VRNGETUPTR): Operation not permitted (errno=1)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock clk;
    CapturedLog lg{clk};
    FakeUnitNode nd;
    ScriptedConnector mod;
    kvetherd::Daemon d{kvetherd::DaemonParts{nd, mod, clk, lg.logger(), clk.stop}};
    c.fault(nd);
    EXPECT_EQ(d.run("/dev/qmx/vrnn0", nullptr), Outcome::fatal);
    const Lines lines = lg.lines();
    ASSERT_GE(lines.size(), c.tail.size());
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(c.tail.size()), lines.end()), c.tail);
    EXPECT_TRUE(mod.addresses.empty()) << "no connection before start-up is through";
  }
}

TEST_F(Daemon, FirstPassConnectsUpdatesTheDriverAndGoesOnline) {
  ASSERT_EQ(daemon.start("/dev/qmx/vrnn0", nullptr), Outcome::done);
  ScriptedConnector::Attempt a;
  a.inquiry = {"Orvane", "Lanvara16S-115A", "V6.2"};
  module.script = {a};
  module.on_connect = [](Pair& p) { p.close_far(); };

  EXPECT_EQ(daemon.cycle(), Outcome::retry);
  EXPECT_EQ(node.requests(), (Lines{"VRNGETUPTR", "VRNSETUPTR", "VRNONLINE"}))
      << "no VRNOFFLINE on the first pass";
  ASSERT_EQ(node.set_records.size(), 1u);
  EXPECT_STREQ(node.set_records[0].model_name, "Lanvara16S-115A");
  EXPECT_STREQ(node.set_records[0].fw_version, "V6.2");
  EXPECT_EQ(node.set_records[0].net_addr, htonl(0x7f000005));
  EXPECT_TRUE(
      in_order(log.lines(),
               {"Socket connection established", "Received FAS_UNIT_LOCK",
                "Received FAS_UNIT_INQUIRY", "Received inquiry data",
                "Vendor: Orvane; Firmware: V6.2; Unit type: Lanvara16S-115A; IP address: 7f000005 "
                "[unit inquiry]",
                "Updated driver information", "Orvane Lanvara unit online"}))
      << log.text();
  EXPECT_EQ(daemon.sock_fd(), -1) << "the socket is closed when the relay ends";
}

TEST_F(Daemon, AnOfflineRefusedAsAlreadyOfflineIsANote) {
  ASSERT_EQ(daemon.start("vrnn0", nullptr), Outcome::done);
  module.script = {ScriptedConnector::success(), ScriptedConnector::success()};
  module.on_connect = [](Pair& p) { p.close_far(); };
  ASSERT_EQ(daemon.cycle(), Outcome::retry);
  node.online = false; // the driver's poll rule took the unit offline meanwhile
  EXPECT_EQ(daemon.cycle(), Outcome::retry);
  EXPECT_TRUE(in_order(log.lines(), {"Driver reported Lanvara unit already offline.",
                                     "Orvane Lanvara unit offline", "Orvane Lanvara unit online"}));
}

TEST_F(Daemon, OtherOfflineRefusalsAreFatal) {
  ASSERT_EQ(daemon.start("vrnn0", nullptr), Outcome::done);
  module.script = {ScriptedConnector::success()};
  module.on_connect = [](Pair& p) { p.close_far(); };
  ASSERT_EQ(daemon.cycle(), Outcome::retry);
  node.request_errors[VRNOFFLINE] = {EPERM};
  EXPECT_EQ(daemon.cycle(), Outcome::fatal);
  EXPECT_EQ(log.lines().back(), "ioctl(VRNOFFLINE): Operation not permitted (errno=1)");
  EXPECT_EQ(module.addresses.size(), 1u);
}

TEST_F(Daemon, RetriesEveryTenSecondsUntilTheExchangeSucceeds) {
  ASSERT_EQ(daemon.start("vrnn0", nullptr), Outcome::done);
  ScriptedConnector::Attempt unlock_fails{false,
                                          {VrnEvent::connected, VrnEvent::unlock_bad_opcode}};
  unlock_fails.error = 0;
  ScriptedConnector::Attempt inquiry_fails{
      false, {VrnEvent::connected, VrnEvent::unlock_ok, VrnEvent::inquiry_read_failed}};
  inquiry_fails.error = ECONNRESET;
  module.script = {ScriptedConnector::refused(), unlock_fails, ScriptedConnector::refused(),
                   inquiry_fails, ScriptedConnector::success()};
  std::time_t online_at = 0;
  module.on_connect = [&](Pair& p) {
    online_at = clock.elapsed();
    p.close_far();
  };

  EXPECT_EQ(daemon.cycle(), Outcome::retry);
  EXPECT_EQ(module.addresses.size(), 5u);
  EXPECT_EQ(clock.pauses, (std::vector<int>{10, 10, 10, 10}));
  EXPECT_EQ(online_at, 40);
  EXPECT_EQ(node.requests(), (Lines{"VRNGETUPTR", "VRNSETUPTR", "VRNONLINE"}))
      << "the driver hears of the unit only once the exchange succeeded";
  const Lines lines = log.lines();
  EXPECT_TRUE(
      in_order(lines, {"Socket connection established", "read(FAS_UNIT_UNLOCK): Success (errno=0)",
                       "Socket connection established", "Received FAS_UNIT_LOCK",
                       "read(FAS_UNIT_INQUIRY): Connection reset by peer (errno=104)",
                       "Socket connection established", "Orvane Lanvara unit online"}))
      << log.text();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Socket connection established"), 3)
      << "a refused connect leaves no line";
}

TEST_F(Daemon, ExchangeFailureTexts) {
  const struct {
    VrnEvent event;
    const char* line;
  } cases[] = {
      {VrnEvent::socket_failed, "socket: Too many open files (errno=24)"},
      {VrnEvent::unlock_write_failed, "write(FAS_UNIT_UNLOCK): Too many open files (errno=24)"},
      {VrnEvent::unlock_read_failed, "read(FAS_UNIT_UNLOCK): Too many open files (errno=24)"},
      {VrnEvent::inquiry_write_failed, "write(FAS_UNIT_INQUIRY): Too many open files (errno=24)"},
      {VrnEvent::inquiry_bad_opcode, "read(FAS_UNIT_INQUIRY): Too many open files (errno=24)"},
      {VrnEvent::data_read_failed, "read(inquiry data): Too many open files (errno=24)"},
  };
  ASSERT_EQ(daemon.start("vrnn0", nullptr), Outcome::done);
  for (const auto& c : cases) {
    ScriptedConnector::Attempt a{false, {c.event}};
    a.error = EMFILE;
    module.script = {a};
    const std::size_t before = log.syslog.size();
    EXPECT_EQ(daemon.make_socket_connection(), Outcome::retry);
    EXPECT_EQ(log.lines().back(), c.line);
    EXPECT_EQ(log.syslog.size(), before + 1) << c.line;
  }
}

TEST_F(Daemon, LongInquiryStringsAreShortenedToTheirFields) {
  ASSERT_EQ(daemon.start("vrnn0", nullptr), Outcome::done);
  ScriptedConnector::Attempt a;
  a.inquiry = {"Orvane", "Lanvara32S-115AXYZ", "V6.0-beta"};
  module.script = {a};
  ASSERT_EQ(daemon.make_socket_connection(), Outcome::done);
  ASSERT_EQ(node.set_records.size(), 1u);
  EXPECT_EQ(std::string(node.set_records[0].model_name), "Lanvara32S-115A");
  EXPECT_EQ(std::string(node.set_records[0].fw_version), "V6.0-be");
  EXPECT_GE(daemon.sock_fd(), 0);
}

TEST_F(Daemon, DriverRefusalsAfterTheExchangeAreFatal) {
  const struct {
    unsigned cmd;
    const char* line;
  } cases[] = {
      {VRNSETUPTR, "ioctl(VRNSETUPTR): Invalid argument (errno=22)"},
      {VRNONLINE, "ioctl(VRN_ONLINE): Invalid argument (errno=22)"},
  };
  for (const auto& c : cases) {
    VirtualClock clk;
    CapturedLog lg{clk};
    FakeUnitNode nd;
    ScriptedConnector mod;
    kvetherd::Daemon d{kvetherd::DaemonParts{nd, mod, clk, lg.logger(), clk.stop}};
    mod.script = {ScriptedConnector::success()};
    nd.request_errors[c.cmd] = {EINVAL};
    EXPECT_EQ(d.run("vrnn0", nullptr), Outcome::fatal);
    EXPECT_EQ(lg.lines().back(), c.line);
    d.shutdown();
    EXPECT_EQ(d.sock_fd(), -1) << "the shutdown closes the open socket";
    EXPECT_EQ(lg.lines().back(), "Orvane Lanvara Daemon shutting down");
    EXPECT_EQ(nd.calls.back(), "close");
  }
}

TEST_F(Daemon, RunsUntilTheUnitNodeFails) {
  // Connected, dropped by the module, reconnected after one refusal, then the driver goes.
  module.script = {ScriptedConnector::success(), ScriptedConnector::refused(),
                   ScriptedConnector::success()};
  int connection = 0;
  module.on_connect = [&](Pair& p) {
    const int far = p.far;
    if (++connection == 1) {
      clock.at(static_cast<int>(clock.elapsed()) + 5, [&p] { p.close_far(); });
    } else {
      clock.at(static_cast<int>(clock.elapsed()) + 5, [this, far] {
        put(far, "answer");
        node.pair.close_far();
      });
    }
  };
  EXPECT_EQ(daemon.run("vrnn0", nullptr), Outcome::fatal);
  EXPECT_EQ(node.requests(), (Lines{"VRNGETUPTR", "VRNSETUPTR", "VRNONLINE", "VRNOFFLINE",
                                    "VRNSETUPTR", "VRNONLINE"}));
  EXPECT_EQ(log.lines().back(), "read from driver: Success (errno=0)");
  EXPECT_EQ(clock.elapsed(), 20);
  EXPECT_EQ(clock.pauses, std::vector<int>{10});
}

TEST_F(Daemon, SigtermDuringThePauseEndsTheCycle) {
  ASSERT_EQ(daemon.start("vrnn0", nullptr), Outcome::done);
  clock.at(5, [this] { clock.stop = 1; });
  EXPECT_EQ(daemon.cycle(), Outcome::terminated);
  EXPECT_EQ(module.addresses.size(), 1u);
  daemon.terminate();
  EXPECT_TRUE(in_order(log.lines(), {"Orvane Lanvara Daemon received a SIGTERM",
                                     "Orvane Lanvara Daemon shutting down"}));
  EXPECT_EQ(log.syslog.back(), "Orvane Lanvara Daemon shutting down");
}

} // namespace
} // namespace kvtest
