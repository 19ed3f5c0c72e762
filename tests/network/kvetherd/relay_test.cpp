// The relay between the unit node and the module's socket, on socketpairs and a clock
// that moves only while the relay waits.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "fakes.h"
#include "kvetherd/relay.h"

namespace kvtest {
namespace {

using kvetherd::Outcome;

struct Rig {
  Outcome run() {
    node.open("/dev/qmx/vrnn0");
    return kvetherd::relay(
        kvetherd::RelayPorts{node, module.near, clock, log.logger(), clock.stop});
  }
  // What the driver and the module have received so far.
  std::string at_driver() { return drain(node.pair.far); }
  std::string at_module() { return module_got += drain(module.far); }
  // Unread bytes would be lost with the end, so they are taken first.
  void close_module() {
    at_module();
    module.close_far();
  }

  VirtualClock clock;
  CapturedLog log{clock};
  FakeUnitNode node;
  Pair module{SOCK_STREAM};
  std::string module_got;
};

class Relay : public ::testing::Test, protected Rig {};

TEST_F(Relay, CarriesBytesBothWaysUntilTheModuleCloses) {
  const std::string poll("\x15\0\0\0\0\0\0\0", 8);
  const std::string packet(4096, 'P'); // a full relay buffer in one read
  clock.at(1, [&] { put(node.pair.far, poll); });
  clock.at(2, [&] { put(module.far, "answer"); });
  clock.at(3, [&] { put(node.pair.far, packet); });
  clock.at(4, [&] { close_module(); });

  EXPECT_EQ(run(), Outcome::retry);
  EXPECT_EQ(at_module(), poll + packet);
  EXPECT_EQ(at_driver(), "answer");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"read from socket: Success (errno=0)"});
  EXPECT_EQ(log.syslog.size(), 1u) << "a system error also goes to syslog";
  EXPECT_EQ(clock.elapsed(), 4);
}

TEST_F(Relay, BothSidesReadyInOnePassAreBothServed) {
  put(node.pair.far, "cmd");
  put(module.far, "ans");
  clock.at(5, [&] { close_module(); });
  EXPECT_EQ(run(), Outcome::retry);
  EXPECT_EQ(at_module(), "cmd");
  EXPECT_EQ(at_driver(), "ans");
}

TEST_F(Relay, UnitNodeFailuresEndTheDaemon) {
  const struct {
    const char* name;
    std::function<void(Rig&)> fault;
    const char* line;
  } cases[] = {
      {"end of file", [](Rig& t) { t.node.pair.close_far(); },
       "read from driver: Success (errno=0)"},
      {"read error",
       [](Rig& t) {
         t.node.read_error = EIO;
         put(t.node.pair.far, "x");
       },
       "read from driver: Input/output error (errno=5)"},
      {"write error",
       [](Rig& t) {
         t.node.write_error = ENXIO;
         put(t.module.far, "answer");
       },
       "write to driver: No such device or address (errno=6)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig t;
    t.clock.at(7, [&] { c.fault(t); });
    EXPECT_EQ(t.run(), Outcome::fatal);
    EXPECT_EQ(t.log.lines(), std::vector<std::string>{c.line});
    EXPECT_EQ(t.log.syslog.size(), 1u);
  }
}

TEST_F(Relay, SocketWriteFailureEndsThePassWithoutReadingTheSocket) {
  clock.at(1, [&] {
    put(module.far, "late answer");
    ::shutdown(module.near, SHUT_WR);
    put(node.pair.far, "cmd");
  });
  EXPECT_EQ(run(), Outcome::retry);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("write to socket: Broken pipe", 0), 0u) << lines[0];
  EXPECT_EQ(at_driver(), "") << "the socket side is not looked at in that pass";
}

TEST_F(Relay, SilentModuleIsGivenUpAfter120SecondsWhateverTheDriverSends) {
  for (int s = 25; s <= 125; s += 25) {
    clock.at(s, [&] { put(node.pair.far, "poll"); });
  }
  EXPECT_EQ(run(), Outcome::retry);
  EXPECT_EQ(clock.elapsed(), 120);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"select() timed out"});
  EXPECT_EQ(log.syslog, std::vector<std::string>{"select() timed out"});
  EXPECT_EQ(at_module(), "pollpollpollpoll") << "driver traffic is still carried";
  EXPECT_EQ(clock.waits, (std::vector<int>{120, 95, 70, 45, 20}))
      << "each wait is what is left of the 120 seconds";
}

TEST_F(Relay, ModuleDataRestartsTheLimit) {
  clock.at(100, [&] { put(module.far, "alive"); });
  clock.at(150, [&] { put(node.pair.far, "cmd"); });
  EXPECT_EQ(run(), Outcome::retry);
  EXPECT_EQ(clock.elapsed(), 220);
  EXPECT_EQ(at_driver(), "alive");
  EXPECT_EQ(clock.waits, (std::vector<int>{120, 120, 70}));
}

TEST_F(Relay, DriverTrafficThatUsesUpTheTimeEndsTheRelayAtOnce) {
  // The driver's data arrives at 120 s exactly: carried, and then no wait of 0 seconds.
  clock.at(120, [&] { put(node.pair.far, "cmd"); });
  EXPECT_EQ(run(), Outcome::retry);
  EXPECT_EQ(clock.elapsed(), 120);
  EXPECT_EQ(at_module(), "cmd");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"select() timed out"});
  EXPECT_EQ(clock.waits, std::vector<int>{120});
}

TEST_F(Relay, FailureAfterSigtermIsTheSignals) {
  clock.at(3, [&] {
    clock.stop = 1;
    node.pair.close_far();
  });
  EXPECT_EQ(run(), Outcome::terminated);
  EXPECT_TRUE(log.lines().empty());
}

TEST(WriteAll, ShortWritesAreContinuedAndFailuresReported) {
  std::string got;
  int calls = 0;
  const auto three_at_a_time = [&](const char* b, std::size_t n) -> ssize_t {
    ++calls;
    const std::size_t k = std::min<std::size_t>(n, 3);
    got.append(b, k);
    return static_cast<ssize_t>(k);
  };
  EXPECT_EQ(kvetherd::write_all(three_at_a_time, "abcdefgh", 8), 8);
  EXPECT_EQ(got, "abcdefgh");
  EXPECT_EQ(calls, 3);

  int tries = 0;
  const auto fails_second = [&](const char*, std::size_t) -> ssize_t {
    if (++tries == 2) {
      errno = EPIPE;
      return -1;
    }
    return 2;
  };
  EXPECT_EQ(kvetherd::write_all(fails_second, "abcdef", 6), -1);
  EXPECT_EQ(errno, EPIPE);
}

} // namespace
} // namespace kvtest
