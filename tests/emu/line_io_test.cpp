// Data through a line: grants, FAS_SEND to the far end, loopback at once and at line speed,
// receive statuses, overflow.
#include "engine_fixture.h"

#include "qdemu/loopback_plug.h"
#include "qdemu/scripted_peer.h"

namespace qdemu::test {
namespace {

class LineIo : public EngineTest {
protected:
  void start(UnitOptions o = {}) {
    make("QMX-8S1P-115A", o);
    engine->attach(0, peer);
    open_serial(0);
  }
  std::shared_ptr<ScriptedPeer> peer = std::make_shared<ScriptedPeer>();
};

TEST_F(LineIo, GrantIsAnsweredOnlyWhenDataArrives) {
  start();
  EXPECT_FALSE(engine->answers_waiting());
  clock.advance(500);
  EXPECT_FALSE(engine->answers_waiting());
  peer->send("hi");
  EXPECT_EQ(answers(), std::vector<Bytes>{recv_ans(0, 0, "hi")});
  // No grant now: input waits in the buffer for the next one.
  peer->send("there");
  EXPECT_TRUE(answers().empty());
  EXPECT_EQ(exchange({grant(0)}), std::vector<Bytes>{recv_ans(0, 0, "there")});
}

TEST_F(LineIo, SendReachesTheFarEnd) {
  start();
  EXPECT_EQ(exchange({send_cmd(0, "hello, world")}), std::vector<Bytes>{ans({FAS_SEND, 0, 0})});
  EXPECT_EQ(peer->received_text(), "hello, world");
  EXPECT_EQ(engine->line_stats(0).bytes_out, 12u);
}

TEST_F(LineIo, SecondSendWhileOneIsHeldIsRefused) {
  start();
  write({cmd({FAS_OUTPUT_CTRL, 0, 0, 1, 0})});
  answers();
  UnitOptions o;
  EXPECT_EQ(exchange({send_cmd(0, std::string(o.output_buffer + 1, 'a')), send_cmd(0, "b")}),
            std::vector<Bytes>{ans({FAS_SEND, 0, ERR_MULT_CMD})});
  EXPECT_EQ(exchange({cmd({FAS_OUTPUT_CTRL, 0, 0, 0, 1})}),
            (std::vector<Bytes>{ans({FAS_OUTPUT_CTRL, 0, 0}), ans({FAS_SEND, 0, 0})}));
  EXPECT_EQ(peer->received(), Bytes(o.output_buffer + 1, 'a'));
}

TEST_F(LineIo, LoopbackReturnsEverythingInOrder) {
  UnitOptions o;
  o.input_buffer = 4096;
  make("QMX-8S1P-115A", o);
  engine->attach(0, std::make_shared<LoopbackPlug>(LoopbackPlug::Options{false, false}));
  open_serial(0);
  std::string sent;
  for (int i = 0; i < 3000; ++i)
    sent.push_back(static_cast<char>('!' + i % 90));
  auto first = exchange({send_cmd(0, sent)});
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], ans({FAS_SEND, 0, 0}));
  std::string back(text(first[1]));
  while (back.size() < sent.size()) {
    const auto more = exchange({grant(0)});
    ASSERT_EQ(more.size(), 1u);
    EXPECT_EQ(more[0][2], FAS_ST_OK);
    back += text(more[0]);
  }
  EXPECT_EQ(back, sent);
}

TEST_F(LineIo, LoopbackAtLineSpeedSpreadsOverTicks) {
  make("QMX-8S1P-115A");
  engine->attach(0, std::make_shared<LoopbackPlug>(LoopbackPlug::Options{false, true}));
  open_serial(0); // 9600 bit/s, 8N1: 9.6 characters a tick
  EXPECT_EQ(exchange({send_cmd(0, "0123456789abcdefghij"), cmd({FAS_WAIT_SEND, 0})}),
            std::vector<Bytes>{ans({FAS_SEND, 0, 0})});
  EXPECT_EQ(engine->next_event_tick(), clock.now() + 1);
  clock.advance(1);
  EXPECT_EQ(answers(), std::vector<Bytes>{recv_ans(0, 0, "012345678")});
  write({grant(0)});
  clock.advance(1);
  EXPECT_EQ(answers(), std::vector<Bytes>{recv_ans(0, 0, "9abcdefghi")});
  write({grant(0)});
  clock.advance(1);
  EXPECT_EQ(answers(), (std::vector<Bytes>{recv_ans(0, 0, "j"), ans({FAS_WAIT_SEND, 0, 0})}));
  EXPECT_EQ(engine->next_event_tick(), kNever);
  EXPECT_EQ(clock.pending(), 0u);
}

TEST_F(LineIo, SlowLineTakesItsTime) {
  start();
  engine->set_line_pacing(0, true);
  write({params11(0, 3)}); // 300 bit/s: one character in 3.33 ticks
  answers();
  write({send_cmd(0, "abc"), cmd({FAS_WAIT_SEND, 0})});
  answers();
  clock.advance(9);
  EXPECT_EQ(peer->received_text(), "ab");
  EXPECT_FALSE(engine->answers_waiting());
  clock.advance(1);
  EXPECT_EQ(peer->received_text(), "abc");
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_WAIT_SEND, 0, 0})});
}

struct Arrival {
  std::string_view bytes;
  ByteStatus status;
  bool brk;
};

TEST_F(LineIo, ReceiveStatusesComeInRuns) {
  start();
  const Arrival arrivals[] = {
      {"ab", ByteStatus::good, false},    {"x", ByteStatus::parity, false},
      {"yz", ByteStatus::framing, false}, {"o", ByteStatus::overrun, false},
      {"", ByteStatus::good, true},       {"c", ByteStatus::good, false},
      {"", ByteStatus::good, true},       {std::string_view("\0d", 2), ByteStatus::good, false},
  };
  for (const Arrival& a : arrivals) {
    if (a.brk)
      peer->send_break();
    else
      peer->send({reinterpret_cast<const std::uint8_t*>(a.bytes.data()), a.bytes.size()}, a.status);
  }
  std::vector<Bytes> got = answers(); // the pending grant took the first run
  for (int i = 0; i < 10 && engine->line_state(0).input_buffered > 0; ++i) {
    for (Bytes& b : exchange({grant(0)}))
      got.push_back(std::move(b));
  }
  const std::vector<Bytes> expected{
      recv_ans(0, 0, "ab"),
      recv_ans(0, FAS_ST_PARITY, "x"),
      recv_ans(0, FAS_ST_FRAMING, "yz"),
      recv_ans(0, FAS_ST_OVERRUN, "o"),
      recv_ans(0, FAS_ST_BREAK, std::string_view("\0c\0", 3)), // breaks as NULs among good bytes
      recv_ans(0, 0, std::string_view("\0d", 2)),              // a received NUL is good data
  };
  EXPECT_EQ(got, expected);
  const LineStats st = engine->line_stats(0);
  EXPECT_EQ(st.errors_in, 4u);
  EXPECT_EQ(st.breaks_in, 2u);
}

TEST_F(LineIo, OverflowIsReportedAloneThenTheDataFollows) {
  UnitOptions o;
  o.input_buffer = 8;
  start(o);
  peer->send("1");
  answers(); // uses up the grant
  peer->send("abcdefghij");
  EXPECT_EQ(exchange({grant(0)}), std::vector<Bytes>{recv_ans(0, FAS_ST_OVERFLOW, "")});
  EXPECT_EQ(exchange({grant(0)}), std::vector<Bytes>{recv_ans(0, 0, "abcdefgh")});
  EXPECT_EQ(engine->line_stats(0).overflows, 2u);
}

TEST_F(LineIo, DisabledLineDropsInput) {
  start();
  write({cmd({FAS_DISABLE, 0})});
  EXPECT_EQ(answers(), (std::vector<Bytes>{recv_ans(0, 0, ""), ans({FAS_DISABLE, 0, 0})}));
  peer->send("late");
  EXPECT_FALSE(engine->answers_waiting());
  EXPECT_EQ(engine->line_stats(0).input_dropped, 4u);
  EXPECT_FALSE(peer->dtr()); // HUPCL: DTR and RTS drop with the disable
  EXPECT_FALSE(peer->rts());
}

TEST_F(LineIo, LocalLoopbackKeepsDataFromTheFarEnd) {
  start();
  write({cmd({FAS_SET_PARAMS, 0, 3, 0, 0, 0x81, 0xAA, 0})});
  answers();
  EXPECT_EQ(exchange({send_cmd(0, "echo")}),
            (std::vector<Bytes>{ans({FAS_SEND, 0, 0}), recv_ans(0, 0, "echo")}));
  EXPECT_TRUE(peer->received().empty());
}

} // namespace
} // namespace qdemu::test
