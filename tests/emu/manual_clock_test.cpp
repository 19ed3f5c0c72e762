// The manual clock and the engine's use of it.
#include "engine_fixture.h"

#include "qdemu/scripted_peer.h"

namespace qdemu::test {
namespace {

TEST(ManualClock, RunsCallbacksAtTheirTickInOrder) {
  ManualClock c(10);
  std::vector<std::pair<int, Tick>> ran;
  c.call_at(15, [&] { ran.emplace_back(1, c.now()); });
  c.call_at(12, [&] {
    ran.emplace_back(2, c.now());
    c.call_at(12, [&] { ran.emplace_back(3, c.now()); }); // due now: runs in this pass
  });
  const TimerId gone = c.call_at(13, [&] { ran.emplace_back(4, c.now()); });
  c.call_at(5, [&] { ran.emplace_back(5, c.now()); }); // already past: first chance
  c.cancel(gone);
  EXPECT_TRUE(ran.empty()); // nothing runs inside call_at
  c.advance(4);
  EXPECT_EQ(ran, (std::vector<std::pair<int, Tick>>{{5, 10}, {2, 12}, {3, 12}}));
  EXPECT_EQ(c.now(), 14u);
  EXPECT_EQ(c.next_due(), 15u);
  c.advance(1);
  EXPECT_EQ(ran.back(), (std::pair<int, Tick>{1, 15}));
  EXPECT_EQ(c.pending(), 0u);
}

TEST_F(EngineTest, TimerFollowsTimedWorkOnly) {
  make("QMX-8S1P-115A");
  auto peer = std::make_shared<ScriptedPeer>();
  engine->attach(0, peer);
  open_serial(0);
  EXPECT_EQ(clock.pending(), 0u); // idle unit: no call back asked for
  engine->set_line_pacing(0, true);
  write({send_cmd(0, std::string(96, 'p'))}); // ten ticks at 9600 bit/s
  EXPECT_EQ(clock.pending(), 1u);
  clock.advance(5);
  EXPECT_EQ(peer->received().size(), 48u);
  // A jump far ahead still moves output at each of its ticks.
  clock.advance(1000);
  EXPECT_EQ(peer->received().size(), 96u);
  EXPECT_EQ(clock.pending(), 0u);
  engine.reset(); // a destroyed engine leaves nothing on the clock
  EXPECT_EQ(clock.pending(), 0u);
}

} // namespace
} // namespace qdemu::test
