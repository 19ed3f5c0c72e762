// Power-on, firmware restart and power cycle: not ready, unit attention once, then good;
// and the sense a driver or a tool fetches on the way.
#include "scsi_unit_fixture.h"

#include "ksys/time.h"

namespace qdemu::test {
namespace {

class Readiness : public ScsiUnitTest {
protected:
  // Sense key of a command's outcome under auto request sense; -1 for good status.
  static int key_of(const Outcome& o) {
    EXPECT_TRUE(o.done && o.reason == CMD_CMPLT);
    return o.status == STATUS_GOOD ? -1 : o.key();
  }
};

TEST_F(Readiness, AttachSeesThePowerOnUnitAttentionOnce) {
  add_unit({{.model = "QMX-8S1P-115A"}});
  use_arq();
  EXPECT_EQ(key_of(run(cdb_tur())), KEY_UNIT_ATTENTION);
  EXPECT_EQ(key_of(run(cdb_tur())), -1);
  EXPECT_EQ(key_of(run(cdb_tur())), -1);
}

// The driver's restart: SEND DIAGNOSTIC, half a second, then TEST UNIT READY every half
// second; and a unit switched on as it is built behaves the same from its start.
TEST_F(Readiness, RestartGoesNotReadyThenUnitAttentionThenGood) {
  for (bool warming : {false, true}) {
    SCOPED_TRACE(warming ? "switched on" : "self-test");
    topo.remove(0, kTarget);
    QmxUnit& unit = add_unit({{.model = "QMX-8S1P-115A", .warming_up = warming}});
    use_arq();
    if (!warming) {
      wake();
      EXPECT_TRUE(run({SCMD_SDIAG, 0, 0, 0, 0, 0}).good());
      EXPECT_TRUE(unit.ready()) << "no self-test bit: nothing restarts";
      EXPECT_TRUE(write({cmd({FAS_ENABLE, 0})}).good());
      EXPECT_TRUE(unit.engine().line_state(0).enabled);
      EXPECT_EQ(key_of(run(cdb_self_test())), -1);
      EXPECT_FALSE(unit.engine().line_state(0).enabled) << "lines wiped";
      EXPECT_EQ(unit.stats().restarts, 1u);
    }
    const int keys[] = {KEY_NOT_READY, KEY_UNIT_ATTENTION, -1, -1};
    for (int want : keys) {
      k.advance(hz / 2);
      EXPECT_EQ(key_of(run(cdb_tur())), want) << "at " << k.lbolt();
    }
  }
}

TEST_F(Readiness, PowerCycleMeetsTheTransport) {
  QmxUnit& unit = add_unit({{.model = "QMX-16S-115A"}});
  use_arq();
  wake();
  Cmd& held = start(cdb6(SCMD_READ, kReadLen), {}, kReadLen);
  k.settle();
  ASSERT_TRUE(unit.read_held());
  unit.power_cycle();
  k.settle();
  ASSERT_TRUE(held.out.done) << "a held READ ends with the power";
  EXPECT_EQ(key_of(held.out), KEY_UNIT_ATTENTION);
  // The WRITEs a driver retries: not ready at first, then "power-cycled" once.
  const Bytes poll = cmd({FAS_UNIT_POLL, 0});
  EXPECT_EQ(key_of(write({poll})), KEY_NOT_READY);
  k.advance(hz);
  EXPECT_EQ(key_of(write({poll})), KEY_UNIT_ATTENTION);
  EXPECT_EQ(key_of(write({poll})), -1);
  EXPECT_EQ(unit.stats().power_cycles, 1u);
}

TEST_F(Readiness, RequestSenseReportsTheConditionAndKeepsTheLastCheck) {
  QmxUnit& unit = add_unit({{.model = "QMX-8S-115A", .warming_up = true}});
  // Nothing kept: the present condition.
  EXPECT_EQ(sense_key(), KEY_NOT_READY);
  k.advance(hz);
  EXPECT_EQ(sense_key(), KEY_UNIT_ATTENTION);
  EXPECT_FALSE(unit.unit_attention_pending()) << "reported, so consumed";
  EXPECT_TRUE(run(cdb_tur()).good());
  EXPECT_EQ(sense_key(), KEY_NO_SENSE);
  // No auto request sense: the adapter keeps the sense for the command that follows at
  // once; when others come between (a transport's), the unit's own copy answers.
  EXPECT_EQ(run(cdb6(SCMD_WRITE, 2050), Bytes(2050, PKT_END)).status, STATUS_CHECK);
  EXPECT_TRUE(run(cdb_tur()).good());
  const Outcome o = run(cdb_sense(18), {}, 233);
  ASSERT_EQ(o.data.size(), 18u);
  EXPECT_EQ(o.data[2], KEY_ILLEGAL_REQUEST | SENSE_ILI);
  EXPECT_EQ(sense_key(), KEY_NO_SENSE) << "taken";
}

} // namespace
} // namespace qdemu::test
