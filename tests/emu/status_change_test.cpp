// FAS_STAT_CHG: modem and printer state, queries with bit 7, the A/B switch read-back.
#include "engine_fixture.h"

#include "qdemu/loopback_plug.h"
#include "qdemu/scripted_peer.h"

namespace qdemu::test {
namespace {

using StatusChange = EngineTest;

TEST_F(StatusChange, CarrierChangeAnswersTheRequest) {
  make("QMX-8S1P-115A");
  open_serial(0);
  EXPECT_TRUE(exchange({stat_req(0, 0x04)}).empty());
  engine->set_dsr(0, true); // not watched
  engine->set_cts(0, true);
  EXPECT_FALSE(engine->answers_waiting());
  engine->set_carrier(0, true);
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_STAT_CHG, 0, 0, 0x07, 0x04})});
  // Re-armed: the drop is the next change.
  EXPECT_TRUE(exchange({stat_req(0, 0x04)}).empty());
  engine->set_carrier(0, false);
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_STAT_CHG, 0, 0, 0x03, 0x04})});
}

TEST_F(StatusChange, ChangeBeforeTheRequestIsNotLost) {
  make("QMX-8S1P-115A");
  open_serial(0); // the enable's 0x84 reported carrier off
  engine->set_carrier(0, true);
  EXPECT_EQ(exchange({stat_req(0, 0x04)}),
            std::vector<Bytes>{ans({FAS_STAT_CHG, 0, 0, 0x04, 0x04})});
}

TEST_F(StatusChange, QueryAnswersAtOnceAndLeavesTheRequest) {
  make("QMX-8S1P-115A");
  open_serial(0);
  write({stat_req(0, 0x04)});
  engine->set_dsr(0, true);
  EXPECT_EQ(exchange({stat_req(0, 0x87)}),
            std::vector<Bytes>{ans({FAS_STAT_CHG, 0, 0, 0x02, 0x87})});
  engine->set_carrier(0, true);
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_STAT_CHG, 0, 0, 0x06, 0x04})});
}

// A far end changes a line while timed work of the unit is due at the same tick (here a
// delayed answer): the unit catches up on that work first, and the change must still be
// seen by the sweep that follows.
TEST_F(StatusChange, FarEndChangeIsSeenWhileTimedWorkIsDue) {
  struct Case {
    const char* what;
    std::uint8_t line;
    std::uint8_t watch;
    void (*change)(ScriptedPeer&);
    std::uint8_t bits;
  };
  const Case cases[] = {
      {"carrier", 0, 0x04, [](ScriptedPeer& p) { p.set_carrier(true); }, 0x04},
      {"DSR", 0, 0x02, [](ScriptedPeer& p) { p.set_dsr(true); }, 0x02},
      {"CTS", 0, 0x01, [](ScriptedPeer& p) { p.set_cts(true); }, 0x01},
      {"printer", 8, 0x0B,
       [](ScriptedPeer& p) {
         p.set_printer({true, true, false});
       },
       0x09},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    make("QMX-8S1P-115A");
    auto peer = std::make_shared<ScriptedPeer>();
    engine->attach(c.line, peer);
    write({cmd({FAS_ENABLE, c.line}), stat_req(c.line, static_cast<std::uint8_t>(0x80 | c.watch))});
    answers();
    write({stat_req(c.line, c.watch)});
    // Asked for first, so it runs at that tick before the unit's own call.
    clock.call_at(clock.now() + 5, [&] { c.change(*peer); });
    engine->faults().set_latency(FAS_INPUT_CTRL, 5);
    write({cmd({FAS_INPUT_CTRL, c.line, 0, 0, 0})});
    clock.advance(5);
    EXPECT_EQ(answers(), (std::vector<Bytes>{ans({FAS_INPUT_CTRL, c.line, 0}),
                                             ans({FAS_STAT_CHG, c.line, 0, c.bits, c.watch})}));
  }
}

TEST_F(StatusChange, LoopbackPlugWiresModemSignals) {
  make("QMX-8S1P-115A");
  engine->attach(1, std::make_shared<LoopbackPlug>());
  write({cmd({FAS_ENABLE, 1}), stat_req(1, 0x84), stat_req(1, 0x04)});
  EXPECT_EQ(answers(),
            (std::vector<Bytes>{ans({FAS_ENABLE, 1, 0}), ans({FAS_STAT_CHG, 1, 0, 0, 0x84})}));
  // Raising DTR and RTS brings carrier, DSR and CTS back through the plug.
  EXPECT_EQ(
      exchange({cmd({FAS_SET_MODEM, 1, 1, 1})}),
      (std::vector<Bytes>{ans({FAS_SET_MODEM, 1, 0}), ans({FAS_STAT_CHG, 1, 0, 0x07, 0x04})}));
}

struct PrinterCase {
  PrinterStatus printer;
  std::uint8_t bits;
};

TEST_F(StatusChange, PrinterStateBits) {
  make("QMX-8S1P-115A");
  write({cmd({FAS_ENABLE, 8}), stat_req(8, 0x8B)});
  EXPECT_EQ(answers(),
            (std::vector<Bytes>{ans({FAS_ENABLE, 8, 0}), ans({FAS_STAT_CHG, 8, 0, 0x01, 0x8B})}));
  const PrinterCase cases[] = {
      {{true, true, false}, 0x09},  // paper out
      {{true, false, false}, 0x08}, // and off line
      {{false, false, true}, 0x02}, // error only
      {{false, true, false}, 0x01}, // all well again
  };
  for (const PrinterCase& c : cases) {
    write({stat_req(8, 0x0B)});
    engine->set_printer(8, c.printer);
    EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_STAT_CHG, 8, 0, c.bits, 0x0B})});
  }
}

TEST_F(StatusChange, StoppedPrinterHoldsOutput) {
  make("QMX-8S1P-115A");
  auto printer = std::make_shared<ScriptedPeer>();
  engine->attach(8, printer);
  write({cmd({FAS_ENABLE, 8})});
  answers();
  engine->set_printer(8, {true, true, false});
  write({send_cmd(8, "page"), cmd({FAS_WAIT_SEND, 8})});
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_SEND, 8, 0})});
  EXPECT_TRUE(printer->received().empty());
  printer->set_printer({});
  EXPECT_EQ(printer->received_text(), "page");
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_WAIT_SEND, 8, 0})});
}

TEST_F(StatusChange, AbSwitchByteIsReadBackAsPrinterState) {
  UnitOptions o;
  o.redundant = true;
  make("QMX-8S1P-115A", o);
  ASSERT_EQ(engine->ab_switch_line(), 8u);
  write({cmd({FAS_ENABLE, 8}), stat_req(8, 0x8B)});
  // All on bus A: "error" (the host reads DSR clear), paper present (CTS set), online.
  EXPECT_EQ(answers(),
            (std::vector<Bytes>{ans({FAS_ENABLE, 8, 0}), ans({FAS_STAT_CHG, 8, 0, 0x03, 0x8B})}));
  struct {
    std::uint8_t mask;
    std::uint8_t bits;
  } const cases[] = {{0x0F, 0x01}, {0xF0, 0x0B}, {0x00, 0x09}, {0xDF, 0x03}};
  for (const auto& c : cases) {
    write({stat_req(8, 0x0B)});
    EXPECT_EQ(exchange({send_cmd(8, std::string(1, static_cast<char>(c.mask)))}),
              (std::vector<Bytes>{ans({FAS_SEND, 8, 0}), ans({FAS_STAT_CHG, 8, 0, c.bits, 0x0B})}))
        << int(c.mask);
    EXPECT_EQ(engine->ab_switch(), c.mask);
  }
}

} // namespace
} // namespace qdemu::test
