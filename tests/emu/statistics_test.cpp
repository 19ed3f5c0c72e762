// Statistics text in parts, and the counters behind it.
#include "engine_fixture.h"

#include "qdemu/scripted_peer.h"

namespace qdemu::test {
namespace {

using Statistics = EngineTest;

// Requests parts the way the driver does (same bytes 0 and 1, packet fill behind) until the
// last one; every part but the last has status 14.
std::string fetch(EngineTest& t, Engine& e, std::uint8_t op, std::uint8_t b1, std::size_t part,
                  int* parts) {
  std::string all;
  *parts = 0;
  for (int i = 0; i < 100; ++i) {
    const Bytes req = cmd({op, b1});
    Bytes batch = req;
    batch.push_back(PKT_END);
    e.feed_batch(batch);
    const auto got = split_answers(e.take_answers(kScsiAnswerBudget));
    EXPECT_EQ(got.size(), 1u);
    if (got.size() != 1)
      break;
    const Bytes& a = got[0];
    EXPECT_EQ(a[0], op);
    EXPECT_EQ(a[1], b1);
    ++*parts;
    all += text(a);
    if (a[2] == FAS_ST_OK)
      return all;
    EXPECT_EQ(a[2], 14);
    EXPECT_EQ(fas_get16(&a[4]), part);
  }
  (void)t;
  ADD_FAILURE() << "no last part";
  return all;
}

TEST_F(Statistics, LineStatisticsComeInParts) {
  UnitOptions o;
  o.stats_part = 40;
  make("QMX-8S1P-115A", o);
  auto peer = std::make_shared<ScriptedPeer>();
  engine->attach(2, peer);
  open_serial(2);
  peer->send("12345");
  write({send_cmd(2, "abc")});
  answers();
  int parts = 0;
  const std::string t = fetch(*this, *engine, FAS_UNIT_STATS, 2, 40, &parts);
  EXPECT_GT(parts, 2);
  EXPECT_EQ(static_cast<std::size_t>(parts), (t.size() + 39) / 40);
  EXPECT_NE(t.find("line 2"), std::string::npos) << t;
  EXPECT_NE(t.find("chars in 5, out 3"), std::string::npos) << t;
  EXPECT_EQ(t.back(), '\n');
  // Finished: the next request starts a fresh snapshot.
  int again = 0;
  EXPECT_EQ(fetch(*this, *engine, FAS_UNIT_STATS, 2, 40, &again).substr(0, 40), t.substr(0, 40));
}

TEST_F(Statistics, MuxStatisticsOnPodModels) {
  UnitOptions o;
  o.pods_present = 0x05;
  make("QMX-7POD-8S1P-57", o);
  engine->set_pod_online(2, false);
  int parts = 0;
  const std::string t = fetch(*this, *engine, FAS_MUX_STATS, 0, o.stats_part, &parts);
  EXPECT_NE(t.find("pod 0: online"), std::string::npos) << t;
  EXPECT_NE(t.find("pod 1: absent"), std::string::npos) << t;
  EXPECT_NE(t.find("pod 2: offline"), std::string::npos) << t;
}

TEST_F(Statistics, CountersFollowTheTraffic) {
  make("QMX-8S1P-115A");
  auto peer = std::make_shared<ScriptedPeer>();
  engine->attach(0, peer);
  open_serial(0); // six commands, five answers (the grant waits)
  peer->send("xyz");
  write({send_cmd(0, "hello")});
  answers();
  const LineStats s = engine->line_stats(0);
  EXPECT_EQ(s.commands, 7u);
  EXPECT_EQ(s.answers, 7u);
  EXPECT_EQ(s.bytes_in, 3u);
  EXPECT_EQ(s.bytes_to_host, 3u);
  EXPECT_EQ(s.bytes_from_host, 5u);
  EXPECT_EQ(s.bytes_out, 5u);
  EXPECT_EQ(engine->stats().commands, 7u);
  EXPECT_EQ(engine->stats().batches, 2u);
  EXPECT_EQ(exchange({cmd({FAS_UNIT_STATS, 9})}),
            std::vector<Bytes>{ans({FAS_UNIT_STATS, 9, ERR_NOT_PRESENT})});
}

} // namespace
} // namespace qdemu::test
