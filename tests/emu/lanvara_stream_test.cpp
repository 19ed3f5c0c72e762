// The Lanvara side: the unlock exchange and commands as a byte stream cut anywhere.
#include "engine_fixture.h"

#include "qdemu/loopback_plug.h"
#include "qdemu/unlock.h"

namespace qdemu::test {
namespace {

constexpr const char* kModel = "Lanvara8S-115A";

class LanvaraStream : public EngineTest {
protected:
  void start(const char* firmware = "V6.0") {
    UnitOptions o;
    o.firmware = firmware;
    o.require_unlock = true;
    o.seed = 7;
    make(kModel, o);
    engine->attach(0, std::make_shared<LoopbackPlug>(LoopbackPlug::Options{false, false}));
    engine->set_listener([this](Notice n) { notices.push_back(n); });
  }
  void feed(const Bytes& b) { engine->feed_stream(b); }
  // Runs the unlock exchange and returns the inquiry answer.
  Bytes unlock() {
    feed(cmd({FAS_UNIT_UNLOCK, 0, 0, 0, 0, 0, 0, 0}));
    const auto u = answers();
    EXPECT_EQ(u.size(), 1u);
    Challenge c;
    std::copy(u[0].begin() + 2, u[0].end(), c.begin());
    const UnlockAnswer a = unlock_answer(c);
    feed({FAS_UNIT_INQUIRY, 0, a[0], a[1], a[2], 0, 0, 0});
    const auto i = answers();
    EXPECT_EQ(i.size(), 1u);
    return i.empty() ? Bytes{} : i[0];
  }
  std::vector<Notice> notices;
};

TEST(UnlockAnswer, KnownChallenges) {
  // Values worked out apart from this code, by the published steps.
  struct {
    Challenge challenge;
    UnlockAnswer answer;
  } const cases[] = {
      {{0, 0, 0, 0, 0, 0}, {0, 0, 0}},
      {{1, 2, 3, 4, 5, 6}, {0x08, 0x9c, 0xa6}},
      {{0xde, 0xad, 0xbe, 0xef, 0x01, 0x80}, {0xb1, 0x96, 0xe0}},
      {{0x80, 0, 0, 0, 0, 0}, {0x40, 0x00, 0x40}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(unlock_answer(c.challenge), c.answer);
}

TEST_F(LanvaraStream, InquiryAfterUnlockDescribesTheModule) {
  start();
  feed(cmd({FAS_ENABLE, 0}));
  EXPECT_TRUE(answers().empty()); // locked: dropped
  const Bytes inq = unlock();
  ASSERT_GE(inq.size(), 8u);
  EXPECT_EQ(inq[0], FAS_UNIT_INQUIRY);
  EXPECT_EQ(static_cast<std::size_t>(size_faspkt(inq.data(), 1)), inq.size());
  const std::string data(text(inq));
  const std::string strings = data.substr(16);
  EXPECT_EQ(strings, std::string("Orvane\0", 7) + kModel + '\0' + "V6.0" + '\0');
  EXPECT_LE(data.size(), 64u); // fits the reset tools' buffer
  EXPECT_FALSE(engine->locked());
  EXPECT_EQ(engine->stats().refused_locked, 1u);
}

TEST_F(LanvaraStream, WrongAnswerClosesTheConnection) {
  start();
  feed(cmd({FAS_UNIT_UNLOCK, 0, 0, 0, 0, 0, 0, 0}));
  answers();
  feed({FAS_UNIT_INQUIRY, 0, 1, 2, 3, 0, 0, 0});
  EXPECT_TRUE(answers().empty());
  EXPECT_TRUE(engine->locked());
  EXPECT_EQ(notices.back(), Notice::close_connection);
  EXPECT_EQ(engine->stats().unlock_failures, 1u);
}

TEST_F(LanvaraStream, RemoteResetRestartsTheModule) {
  start();
  unlock();
  feed(cmd({FAS_ENABLE, 1}));
  answers();
  Bytes stream = cmd({FAS_UNIT_RESET, 0, 0, 0, 0, 0, 0, 0});
  const Bytes after = cmd({FAS_ENABLE, 2});
  stream.insert(stream.end(), after.begin(), after.end());
  notices.clear();
  feed(stream);
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_UNIT_RESET, 0, 0})});
  EXPECT_EQ(notices, (std::vector<Notice>{Notice::answers_ready, Notice::unit_reset}));
  EXPECT_FALSE(engine->line_state(1).enabled);
  EXPECT_FALSE(engine->line_state(2).enabled);
  EXPECT_TRUE(engine->locked());
}

// A session as kvetherd relays it, with a loopback on line 0.
Bytes session(const UnlockAnswer& a) {
  std::vector<Bytes> cmds{
      cmd({FAS_UNIT_UNLOCK, 0, 0, 0, 0, 0, 0, 0}),
      {FAS_UNIT_INQUIRY, 0, a[0], a[1], a[2], 0, 0, 0},
      cmd({FAS_ENABLE, 0}),
      params11(0),
      flow(0, 0, 0),
      stat_req(0, 0x84),
      grant(0),
      send_cmd(0, "split anywhere"),
      cmd({FAS_UNIT_POLL, 0, 0, 0, 0, 0, 0, 0}),
      cmd({FAS_INPUT_CTRL, 0, 0, 0, 0}),
      cmd({FAS_DISABLE, 0}),
  };
  Bytes s;
  for (const Bytes& c : cmds)
    s.insert(s.end(), c.begin(), c.end());
  return s;
}

TEST_F(LanvaraStream, SplitAnywhereGivesTheSameAnswers) {
  // The challenge is fixed by the seed: learn it once, then replay the whole session.
  start();
  feed(cmd({FAS_UNIT_UNLOCK, 0, 0, 0, 0, 0, 0, 0}));
  const auto u = answers();
  ASSERT_EQ(u.size(), 1u);
  Challenge c;
  std::copy(u[0].begin() + 2, u[0].end(), c.begin());
  const Bytes s = session(unlock_answer(c));

  start();
  feed(s);
  const Bytes reference = engine->take_answers(1 << 20);
  const auto items = split_answers(reference);
  ASSERT_EQ(items.size(), 11u);
  EXPECT_EQ(items[6], ans({FAS_SEND, 0, 0}));
  EXPECT_EQ(items[7], recv_ans(0, 0, "split anywhere"));
  EXPECT_EQ(items[10], ans({FAS_DISABLE, 0, 0}));

  for (std::size_t cut = 1; cut < s.size(); ++cut) {
    start();
    feed({s.begin(), s.begin() + static_cast<std::ptrdiff_t>(cut)});
    feed({s.begin() + static_cast<std::ptrdiff_t>(cut), s.end()});
    ASSERT_EQ(engine->take_answers(1 << 20), reference) << "cut at " << cut;
  }
  start();
  for (std::uint8_t byte : s)
    feed({byte});
  EXPECT_EQ(engine->take_answers(1 << 20), reference);
}

TEST_F(LanvaraStream, NewConnectionLocksAgainAndForgetsPartialInput) {
  start();
  unlock();
  feed({FAS_ENABLE, 0, 0}); // a partial command
  engine->new_connection();
  EXPECT_TRUE(engine->locked());
  unlock();
  feed(cmd({FAS_ENABLE, 1}));
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_ENABLE, 1, 0})});
  EXPECT_FALSE(engine->line_state(0).enabled);
}

TEST_F(LanvaraStream, InvalidOpcodeDropsOneHeader) {
  start();
  unlock();
  Bytes s = cmd({99, 0});
  const Bytes ok = cmd({FAS_ENABLE, 3});
  s.insert(s.end(), ok.begin(), ok.end());
  feed(s);
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_ENABLE, 3, 0})});
  EXPECT_EQ(engine->stats().bad_commands, 1u);
}

} // namespace
} // namespace qdemu::test
