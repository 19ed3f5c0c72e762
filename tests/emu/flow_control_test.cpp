// Flow control both ways, output control, drain and disable.
#include "engine_fixture.h"

#include "qdemu/loopback_plug.h"
#include "qdemu/scripted_peer.h"

namespace qdemu::test {
namespace {

class FlowControl : public EngineTest {
protected:
  void start(std::uint8_t in, std::uint8_t out, UnitOptions o = {}) {
    make("QMX-8S1P-115A", o);
    engine->attach(0, peer);
    open_serial(0, in, out);
  }
  std::shared_ptr<ScriptedPeer> peer = std::make_shared<ScriptedPeer>();
};

TEST_F(FlowControl, XoffFromTheFarEndHoldsOutput) {
  start(0, 1);
  peer->send(Bytes{0x13});
  write({send_cmd(0, "abc"), cmd({FAS_WAIT_SEND, 0})});
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_SEND, 0, 0})}); // taken into the buffer
  EXPECT_TRUE(peer->received().empty());
  peer->send(Bytes{0x11});
  EXPECT_EQ(peer->received_text(), "abc");
  // The flow characters never reached the host; the drain did.
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_WAIT_SEND, 0, 0})});
  EXPECT_EQ(engine->line_state(0).input_buffered, 0u);
}

TEST_F(FlowControl, AnyCharacterRestartsWithIxany) {
  start(0, 3);
  peer->send(Bytes{0x13});
  write({send_cmd(0, "out")});
  answers();
  EXPECT_TRUE(peer->received().empty());
  peer->send("q");
  EXPECT_EQ(peer->received_text(), "out");
  EXPECT_EQ(answers(), std::vector<Bytes>{recv_ans(0, 0, "q")});
}

TEST_F(FlowControl, CtsGatesOutputWithHardwareFlow) {
  start(0, 0x80);
  write({send_cmd(0, "wait")});
  answers();
  EXPECT_TRUE(peer->received().empty());
  peer->set_cts(true);
  EXPECT_EQ(peer->received_text(), "wait");
}

// A far end that cannot take more (a file that does not keep up) holds the port's output,
// whatever the flow control, until it says it takes more.
TEST_F(FlowControl, AFarEndThatCannotTakeMoreHoldsOutput) {
  struct Slow final : FarEnd {
    PortLink* port = nullptr;
    bool full = true;
    std::string got;
    void attached(PortLink& p) override { port = &p; }
    void transmit(std::span<const std::uint8_t> b) override { got.append(b.begin(), b.end()); }
    bool holds_output() const override { return full; }
  };
  auto slow = std::make_shared<Slow>();
  make("QMX-8S1P-115A");
  engine->attach(0, slow);
  open_serial(0);
  write({send_cmd(0, "held"), cmd({FAS_WAIT_SEND, 0})});
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_SEND, 0, 0})}); // taken into the buffer
  EXPECT_TRUE(slow->got.empty());
  slow->full = false;
  slow->port->far_end_ready();
  EXPECT_EQ(slow->got, "held");
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_WAIT_SEND, 0, 0})});
}

TEST_F(FlowControl, SuspendHoldsSendAnswerOnceTheBufferIsFull) {
  UnitOptions o;
  o.output_buffer = 4;
  start(0, 0, o);
  EXPECT_EQ(exchange({cmd({FAS_OUTPUT_CTRL, 0, 0, 1, 0}), send_cmd(0, "abcdefgh")}),
            std::vector<Bytes>{ans({FAS_OUTPUT_CTRL, 0, 0})});
  EXPECT_EQ(engine->line_state(0).output_buffered, 4u);
  EXPECT_EQ(exchange({cmd({FAS_OUTPUT_CTRL, 0, 0, 0, 1})}),
            (std::vector<Bytes>{ans({FAS_OUTPUT_CTRL, 0, 0}), ans({FAS_SEND, 0, 0})}));
  EXPECT_EQ(peer->received_text(), "abcdefgh");
}

TEST_F(FlowControl, FlushDiscardsAndAnswersWhatWasOwed) {
  UnitOptions o;
  o.output_buffer = 4;
  start(0, 0, o);
  write({cmd({FAS_OUTPUT_CTRL, 0, 0, 1, 0}), send_cmd(0, "abcdefgh"), cmd({FAS_WAIT_SEND, 0})});
  answers();
  EXPECT_EQ(exchange({cmd({FAS_OUTPUT_CTRL, 0, 1, 0, 1})}),
            (std::vector<Bytes>{ans({FAS_SEND, 0, 0}), ans({FAS_OUTPUT_CTRL, 0, 0}),
                                ans({FAS_WAIT_SEND, 0, 0})}));
  EXPECT_TRUE(peer->received().empty());
}

struct BlockCase {
  const char* name;
  std::uint8_t in_flow;
  Bytes on_block; // characters the far end gets
  Bytes on_unblock;
  bool rts_while_blocked;
};

TEST_F(FlowControl, InputBlockTellsTheFarEnd) {
  const BlockCase cases[] = {
      {"xonxoff", 0x01, {0x13}, {0x11}, true},
      {"rtscts", 0x80, {}, {}, false},
      {"none", 0x00, {}, {}, true},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.name);
    peer = std::make_shared<ScriptedPeer>();
    start(c.in_flow, 0);
    ASSERT_TRUE(peer->rts());
    EXPECT_EQ(exchange({cmd({FAS_INPUT_CTRL, 0, 0, 1, 0})}),
              std::vector<Bytes>{ans({FAS_INPUT_CTRL, 0, 0})});
    EXPECT_EQ(peer->received(), c.on_block);
    EXPECT_EQ(peer->rts(), c.rts_while_blocked);
    peer->clear_received();
    write({cmd({FAS_INPUT_CTRL, 0, 0, 0, 1})});
    EXPECT_EQ(peer->received(), c.on_unblock);
    EXPECT_TRUE(peer->rts());
  }
}

TEST_F(FlowControl, FillingInputBufferSendsXoffAndDrainingXon) {
  UnitOptions o;
  o.input_buffer = 8;
  start(1, 0, o);
  peer->send("1");
  answers(); // the grant is spent
  peer->send("abcde");
  EXPECT_TRUE(peer->received().empty());
  peer->send("f"); // three quarters full
  EXPECT_EQ(peer->received(), Bytes{0x13});
  EXPECT_EQ(exchange({grant(0)}), std::vector<Bytes>{recv_ans(0, 0, "abcdef")});
  EXPECT_EQ(peer->received(), (Bytes{0x13, 0x11}));
}

// A plug that loops output back at once takes it in runs; the port must still stop sending
// after the very character that makes its own flow control act.
TEST_F(FlowControl, LoopbackStopsAtTheCharacterThatActsOnFlow) {
  struct Case {
    const char* name;
    std::uint8_t in, out;
    std::string data;
    std::size_t most_in; // the most the input buffer may hold
  };
  const std::string long_run(40, 'x');
  const Case cases[] = {
      {"rtscts", 0x80, 0x80, long_run, 12}, // held off at three quarters of 16
      {"xonxoff", 0, 1,
       "ab\x13"
       "cd",
       2}, // the XOFF came back: nothing after it leaves
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UnitOptions o;
    o.input_buffer = 16;
    o.output_buffer = 64;
    make("QMX-8S1P-115A", o);
    engine->attach(0, std::make_shared<LoopbackPlug>());
    open_serial(0, c.in, c.out);
    write({send_cmd(0, c.data)});
    std::string back;
    for (const Bytes& a : answers()) {
      if (a[0] == FAS_RECV)
        back += text(a);
    }
    EXPECT_LE(engine->line_state(0).input_buffered, c.most_in);
    EXPECT_GT(engine->line_state(0).output_buffered, 0u) << "flow control holds the rest";
    for (int i = 0; i < 20 && engine->line_state(0).input_buffered > 0; ++i) {
      const std::vector<Bytes> more = exchange({grant(0)});
      ASSERT_FALSE(more.empty());
      back += text(more.back());
      EXPECT_LE(engine->line_state(0).input_buffered, c.most_in);
    }
    EXPECT_EQ(engine->line_stats(0).overflows, 0u);
    if (c.out == 0x80) {
      EXPECT_EQ(back, c.data) << "everything back, in order";
    } else {
      EXPECT_EQ(back, "ab");
      EXPECT_EQ(engine->line_state(0).output_buffered, 2u);
    }
  }
}

TEST_F(FlowControl, DisableWaitsForOutputToDrain) {
  start(0, 1);
  peer->send(Bytes{0x13});
  write({send_cmd(0, "tail")});
  answers();
  EXPECT_EQ(exchange({cmd({FAS_DISABLE, 0})}), std::vector<Bytes>{recv_ans(0, 0, "")});
  EXPECT_TRUE(engine->line_state(0).disabling);
  peer->send(Bytes{0x11}); // output still obeys flow control while the disable waits
  EXPECT_EQ(peer->received_text(), "tail");
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_DISABLE, 0, 0})});
  EXPECT_FALSE(engine->line_state(0).enabled);
}

TEST_F(FlowControl, DisableKeepsDtrWithoutHupcl) {
  start(0, 0);
  write({cmd({FAS_SET_MODEM, 0, 0x80, 0x80})}); // HUPCL off
  write({cmd({FAS_DISABLE, 0})});
  answers();
  EXPECT_TRUE(peer->dtr());
  EXPECT_TRUE(peer->rts());
}

TEST_F(FlowControl, BreakFollowsTheDataBeforeIt) {
  start(0, 0);
  engine->set_line_pacing(0, true);
  write({send_cmd(0, "xy"), cmd({FAS_SEND_BREAK, 0}), send_cmd(0, "z")});
  EXPECT_EQ(answers(), (std::vector<Bytes>{ans({FAS_SEND, 0, 0}), ans({FAS_SEND, 0, 0})}));
  clock.advance(1);
  ASSERT_EQ(peer->events().back().kind, ScriptedPeer::Event::Kind::brk);
  EXPECT_EQ(peer->received_text(), "xy");
  clock.advance(kBreakTicks - 1);
  EXPECT_FALSE(engine->answers_waiting());
  clock.advance(1);
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_SEND_BREAK, 0, 0})});
  clock.advance(1);
  EXPECT_EQ(peer->received_text(), "xyz");
  EXPECT_EQ(peer->breaks(), 1u);
}

} // namespace
} // namespace qdemu::test
