// Answers leave whole, oldest first, within the reader's budget.
#include "engine_fixture.h"

#include "qdemu/scripted_peer.h"

namespace qdemu::test {
namespace {

class AnswerBudget : public EngineTest {
protected:
  void SetUp() override {
    UnitOptions o;
    o.input_buffer = 8192;
    o.recv_max = 100000; // asks for more than a READ can carry
    make("QMX-8S1P-115A", o);
    engine->attach(0, peer);
    open_serial(0);
  }
  std::shared_ptr<ScriptedPeer> peer = std::make_shared<ScriptedPeer>();
};

TEST_F(AnswerBudget, NeverSplitsAndKeepsOrder) {
  peer->send(std::string(100, 'r')); // a 108-byte FAS_RECV answer first
  write({cmd({FAS_ENABLE, 1}), cmd({FAS_ENABLE, 2}), cmd({FAS_UNIT_POLL, 0})});
  EXPECT_EQ(engine->answer_bytes_waiting(), 108u + 24u);

  // The oldest answer does not fit: nothing leaves, not even the small ones behind it.
  EXPECT_TRUE(engine->take_answers(107).empty());
  const Bytes first = engine->take_answers(120);
  ASSERT_EQ(first.size(), 116u);
  EXPECT_EQ(split_answers(first),
            (std::vector<Bytes>{recv_ans(0, 0, std::string(100, 'r')), ans({FAS_ENABLE, 1, 0})}));
  EXPECT_EQ(split_answers(engine->take_answers(15)), std::vector<Bytes>{ans({FAS_ENABLE, 2, 0})});
  EXPECT_EQ(split_answers(engine->take_answers(8)), std::vector<Bytes>{ans({FAS_UNIT_POLL, 0, 0})});
  EXPECT_FALSE(engine->answers_waiting());
}

TEST_F(AnswerBudget, ReadSizedTakesStayWithinBudget) {
  peer->send(std::string(6000, 'z'));
  std::vector<Bytes> polls;
  for (int i = 0; i < 400; ++i)
    polls.push_back(cmd({FAS_INPUT_CTRL, 1, 0, 0, 0}));
  write(polls);
  std::size_t total = 0;
  std::size_t items = 0;
  while (engine->answers_waiting()) {
    const Bytes b = engine->take_answers(kScsiAnswerBudget);
    ASSERT_FALSE(b.empty());
    EXPECT_LE(b.size(), kScsiAnswerBudget);
    const auto parsed = split_answers(b); // cuts cleanly: no answer was split
    items += parsed.size();
    total += b.size();
  }
  EXPECT_EQ(items, 401u);
  // The grant was answered with as much as a READ can hold beside PKT_END.
  EXPECT_EQ(total, 400u * 8 + 8 + (kScsiAnswerBudget - 8));
  EXPECT_EQ(engine->line_state(0).input_buffered, 6000 - (kScsiAnswerBudget - 8));
}

} // namespace
} // namespace qdemu::test
