// Scripted faults and bad input.
#include "engine_fixture.h"

#include <cstring>

namespace qdemu::test {
namespace {

using Faults = EngineTest;

TEST_F(Faults, SilenceSwallowsMatchingCommands) {
  make("QMX-8S1P-115A");
  engine->faults().silence(FAS_ENABLE, 1, 2);
  EXPECT_EQ(exchange({cmd({FAS_ENABLE, 1}), cmd({FAS_ENABLE, 2}), cmd({FAS_ENABLE, 1})}),
            std::vector<Bytes>{ans({FAS_ENABLE, 2, 0})});
  EXPECT_FALSE(engine->line_state(1).enabled);
  EXPECT_EQ(exchange({cmd({FAS_ENABLE, 1})}), std::vector<Bytes>{ans({FAS_ENABLE, 1, 0})});
  EXPECT_EQ(engine->stats().silenced, 2u);
}

TEST_F(Faults, ForcedStatusRefusesTheNextCommand) {
  make("QMX-8S1P-115A");
  engine->faults().fail_next(FAS_ENABLE, kAny, ERR_BUSY);
  engine->faults().fail_next(FAS_FLOW_CTRL, 0, FAS_ST_LINE_DOWN);
  EXPECT_EQ(exchange({cmd({FAS_ENABLE, 0}), flow(0, 0, 1), cmd({FAS_ENABLE, 0}), flow(0, 0, 1)}),
            (std::vector<Bytes>{ans({FAS_ENABLE, 0, ERR_BUSY}), ans({FAS_FLOW_CTRL, 0, 13}),
                                ans({FAS_ENABLE, 0, 0}), ans({FAS_FLOW_CTRL, 0, 0})}));
  EXPECT_TRUE(engine->line_state(0).flow.out_xon);
}

TEST_F(Faults, LatencyHoldsOneOpcodeBack) {
  make("QMX-8S1P-115A");
  std::vector<Notice> notices;
  engine->set_listener([&](Notice n) { notices.push_back(n); });
  engine->faults().set_latency(FAS_SET_MODEM, 5);
  EXPECT_EQ(exchange({cmd({FAS_SET_MODEM, 0, 1, 1}), cmd({FAS_ENABLE, 0})}),
            std::vector<Bytes>{ans({FAS_ENABLE, 0, 0})});
  EXPECT_TRUE(engine->line_state(0).dtr); // the command itself took effect at once
  EXPECT_EQ(engine->next_event_tick(), clock.now() + 5);
  notices.clear();
  clock.advance(4);
  EXPECT_TRUE(notices.empty());
  clock.advance(1);
  EXPECT_EQ(notices, std::vector<Notice>{Notice::answers_ready});
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_SET_MODEM, 0, 0})});
}

TEST_F(Faults, MalformedAnswersAreQueuedAsGiven) {
  make("QMX-8S1P-115A");
  const Bytes bad_op = malformed::invalid_opcode();
  const Bytes bad_line = malformed::line_out_of_range(9);
  const Bytes past = malformed::count_past_data(0, 64, 3);
  EXPECT_STREQ(fas_cmd_name(bad_op[0]), "?");
  EXPECT_GE(linenum(bad_line.data()), engine->model().nlines);
  EXPECT_GT(static_cast<std::size_t>(size_faspkt(past.data(), 1)), past.size());
  write({cmd({FAS_UNIT_POLL, 0})});
  engine->inject_answer(bad_op);
  engine->inject_answer(bad_line);
  engine->inject_answer(past);
  Bytes expected = ans({FAS_UNIT_POLL, 0, 0});
  for (const Bytes* b : {&bad_op, &bad_line, &past})
    expected.insert(expected.end(), b->begin(), b->end());
  EXPECT_EQ(engine->take_answers(kScsiAnswerBudget), expected);
}

struct BadBatch {
  const char* name;
  Bytes batch;
  BatchError error;
  std::size_t offset;
  std::size_t commands;
};

TEST_F(Faults, BadBatchesStopWhereTheyGoWrong) {
  Bytes enable = cmd({FAS_ENABLE, 0});
  auto join = [](std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts)
      b.insert(b.end(), p.begin(), p.end());
    return b;
  };
  Bytes cut_send = send_cmd(1, "abcdef");
  cut_send.resize(cut_send.size() - 2);
  const BadBatch cases[] = {
      {"clean", join({enable, {PKT_END, 0xCC}}), BatchError::none, 8, 1},
      {"no_end", enable, BatchError::no_end, 8, 1},
      {"bad_opcode", join({enable, cmd({77, 0}), cmd({FAS_ENABLE, 1}), {PKT_END}}),
       BatchError::bad_opcode, 8, 1},
      {"short_header", join({enable, {FAS_ENABLE, 1, 0}}), BatchError::short_header, 8, 1},
      {"data_past_end", join({enable, cut_send}), BatchError::data_past_end, 8, 1},
  };
  for (const BadBatch& c : cases) {
    SCOPED_TRACE(c.name);
    make("QMX-8S1P-115A");
    const BatchResult r = engine->feed_batch(c.batch);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.offset, c.offset);
    EXPECT_EQ(r.commands, c.commands);
    EXPECT_TRUE(engine->line_state(0).enabled);
    EXPECT_FALSE(engine->line_state(1).enabled);
    EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_ENABLE, 0, 0})});
  }
}

TEST_F(Faults, RestartWipesLinesAndAnswers) {
  make("QMX-8S1P-115A");
  open_serial(0);
  write({cmd({FAS_ENABLE, 1})});
  engine->restart();
  EXPECT_FALSE(engine->answers_waiting());
  EXPECT_FALSE(engine->line_state(0).enabled);
  EXPECT_FALSE(engine->line_state(0).grant_pending);
  EXPECT_FALSE(engine->line_state(0).dtr);
  EXPECT_EQ(engine->stats().restarts, 1u);
}

} // namespace
} // namespace qdemu::test
