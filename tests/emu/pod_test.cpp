// Pod models: absent pods, pods going offline and coming back.
#include "engine_fixture.h"

namespace qdemu::test {
namespace {

class Pods : public EngineTest {
protected:
  void start(const char* firmware) {
    UnitOptions o;
    o.firmware = firmware;
    o.pods_present = 0x03; // pods 0 and 1
    make("QMX2-7POD-8S1P57", o);
  }
};

TEST_F(Pods, PortsThatAreNotThere) {
  start("V2.3");
  EXPECT_EQ(exchange({cmd({FAS_ENABLE, 26}), cmd({FAS_ENABLE, 27}), cmd({FAS_ENABLE, 36}),
                      cmd({FAS_ENABLE, 126})}),
            (std::vector<Bytes>{ans({FAS_ENABLE, 26, 0}), ans({FAS_ENABLE, 27, ERR_NOT_PRESENT}),
                                ans({FAS_ENABLE, 36, ERR_NOT_PRESENT}),
                                ans({FAS_ENABLE, 126, ERR_NOT_PRESENT})}));
}

TEST_F(Pods, OfflinePodAnswersForItsLines) {
  start("V2.3");
  open_serial(18);
  write({stat_req(18, 0x04), cmd({FAS_OUTPUT_CTRL, 18, 0, 1, 0}), send_cmd(18, "held")});
  answers();
  engine->set_pod_online(1, false);
  // Everything the line owed comes back with "line down".
  EXPECT_EQ(answers(), (std::vector<Bytes>{recv_ans(18, FAS_ST_LINE_DOWN, ""),
                                           ans({FAS_STAT_CHG, 18, FAS_ST_LINE_DOWN, 0, 0x04})}));
  EXPECT_EQ(exchange({cmd({FAS_ENABLE, 18}), send_cmd(18, "x"), cmd({FAS_ENABLE, 0})}),
            (std::vector<Bytes>{ans({FAS_ENABLE, 18, FAS_ST_OFFLINE}),
                                ans({FAS_SEND, 18, FAS_ST_LINE_DOWN}), ans({FAS_ENABLE, 0, 0})}));
  engine->set_pod_online(1, true);
  EXPECT_EQ(exchange({cmd({FAS_ENABLE, 18}), cmd({FAS_RESET, 18}), cmd({FAS_ENABLE, 18})}),
            (std::vector<Bytes>{ans({FAS_ENABLE, 18, FAS_ST_OFFLINE}), ans({FAS_RESET, 18, 0}),
                                ans({FAS_ENABLE, 18, 0})}));
}

TEST_F(Pods, OldFirmwareEnablesWithoutReset) {
  start("V2.2");
  engine->set_pod_online(0, false);
  engine->set_pod_online(0, true);
  EXPECT_TRUE(engine->line_state(3).needs_reset);
  EXPECT_EQ(exchange({cmd({FAS_ENABLE, 3})}), std::vector<Bytes>{ans({FAS_ENABLE, 3, 0})});
  EXPECT_FALSE(engine->line_state(3).needs_reset);
}

} // namespace
} // namespace qdemu::test
