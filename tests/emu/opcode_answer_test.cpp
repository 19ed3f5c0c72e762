// Every opcode the driver builds, and the ones it never builds: command bytes in, answer
// bytes out, on a fresh unit and on an enabled line.
#include "engine_fixture.h"

namespace qdemu::test {
namespace {

struct OpcodeCase {
  const char* name;
  const char* model;
  const char* firmware;
  bool enable_line0; // run a driver-style enable of line 0 first
  Bytes command;
  std::vector<Bytes> expected;
};

void PrintTo(const OpcodeCase& c, std::ostream* os) {
  *os << c.name;
}

class OpcodeAnswers : public EngineTest, public ::testing::WithParamInterface<OpcodeCase> {};

TEST_P(OpcodeAnswers, AnswerBytes) {
  const OpcodeCase& c = GetParam();
  UnitOptions o;
  o.firmware = c.firmware;
  make(c.model, o);
  if (c.enable_line0)
    open_serial(0);
  EXPECT_EQ(exchange({c.command}), c.expected);
}

constexpr const char* k8S1P = "QMX-8S1P-115A";   // serial 0-7 up to code 15, printer 8
constexpr const char* k16S230 = "QMX-16S-230NA"; // serial 0-15 up to code 34

const OpcodeCase kCases[] = {
    {"Global", k8S1P, "V2.3", false, {0, 0, 0, 0, 0, 0, 8, 0}, {ans({FAS_GLOBAL, 0, 0})}},
    {"UnitPoll", k8S1P, "V2.3", false, cmd({FAS_UNIT_POLL, 0}), {ans({FAS_UNIT_POLL, 0, 0})}},
    {"Enable", k8S1P, "V2.3", false, cmd({FAS_ENABLE, 3}), {ans({FAS_ENABLE, 3, 0})}},
    {"EnableBeyondPorts",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_ENABLE, 9}),
     {ans({FAS_ENABLE, 9, ERR_NOT_PRESENT})}},
    {"EnablePrinter", k8S1P, "V2.3", false, cmd({FAS_ENABLE, 8}), {ans({FAS_ENABLE, 8, 0})}},
    {"DisableIdle", k8S1P, "V2.3", false, cmd({FAS_DISABLE, 0}), {ans({FAS_DISABLE, 0, 0})}},
    {"SetParams", k8S1P, "V2.3", false, params11(0, 13), {ans({FAS_SET_PARAMS, 0, 0})}},
    {"SetParamsUnknownCode",
     k8S1P,
     "V2.3",
     false,
     params11(0, 7),
     {ans({FAS_SET_PARAMS, 0, ERR_BAD_PARAM})}},
    {"SetParamsBadParity",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_SET_PARAMS, 0, 3, 0, 3, 1, 0xAA, 0}),
     {ans({FAS_SET_PARAMS, 0, ERR_BAD_PARAM})}},
    {"PrinterTakesAnyCode",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_SET_PARAMS, 8, 3, 0, 0, 1, 0xFF, 0}),
     {ans({FAS_SET_PARAMS, 8, 0})}},
    {"ExtParamsWithinPort",
     k16S230,
     "V2.3",
     false,
     cmd({FAS_EXT_PARAMS, 1, 3, 2, 2, 1, 34, 15}),
     {ans({FAS_EXT_PARAMS, 1, 0})}},
    {"ExtParamsAbovePort",
     k16S230,
     "V2.3",
     false,
     cmd({FAS_EXT_PARAMS, 1, 3, 0, 0, 1, 41, 41}),
     {ans({FAS_EXT_PARAMS, 1, ERR_BAD_PARAM})}},
    {"ExtParamsAbovePortInput",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_EXT_PARAMS, 1, 3, 0, 0, 1, 10, 24}),
     {ans({FAS_EXT_PARAMS, 1, ERR_BAD_PARAM})}},
    {"FlowCtrl", k8S1P, "V2.3", false, flow(2, 0x81, 0x83), {ans({FAS_FLOW_CTRL, 2, 0})}},
    {"SetModem",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_SET_MODEM, 0, 0x81, 0x82}),
     {ans({FAS_SET_MODEM, 0, 0})}},
    {"SetModemBadOp",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_SET_MODEM, 0, 3, 0}),
     {ans({FAS_SET_MODEM, 0, ERR_BAD_PARAM})}},
    {"StatusQueryIdle",
     k8S1P,
     "V2.3",
     false,
     stat_req(0, 0x87),
     {ans({FAS_STAT_CHG, 0, 0, 0, 0x87})}},
    {"PrinterStatusQuery",
     k8S1P,
     "V2.3",
     false,
     stat_req(8, 0x8B),
     {ans({FAS_STAT_CHG, 8, 0, 0x01, 0x8B})}},
    {"StatusRequestIdle",
     k8S1P,
     "V2.3",
     false,
     stat_req(0, 0x04),
     {ans({FAS_STAT_CHG, 0, ERR_UNKNOWN, 0, 0x04})}},
    {"GrantIdle", k8S1P, "V2.3", false, grant(0), {recv_ans(0, ERR_UNKNOWN, "")}},
    {"SendIdle", k8S1P, "V2.3", false, send_cmd(0, "x"), {ans({FAS_SEND, 0, ERR_UNKNOWN})}},
    {"BreakIdle",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_SEND_BREAK, 0}),
     {ans({FAS_SEND_BREAK, 0, ERR_UNKNOWN})}},
    {"OutputFlush",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_OUTPUT_CTRL, 0, 1, 0, 1}),
     {ans({FAS_OUTPUT_CTRL, 0, 0})}},
    {"InputPoll",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_INPUT_CTRL, 5, 0, 0, 0}),
     {ans({FAS_INPUT_CTRL, 5, 0})}},
    {"Reset", k8S1P, "V2.3", false, cmd({FAS_RESET, 0}), {ans({FAS_RESET, 0, 0})}},
    {"WaitSendIdle", k8S1P, "V2.3", false, cmd({FAS_WAIT_SEND, 0}), {ans({FAS_WAIT_SEND, 0, 0})}},
    {"ResetOldFirmware",
     k8S1P,
     "V2.2",
     false,
     cmd({FAS_RESET, 0}),
     {ans({FAS_RESET, 0, ERR_BAD_CMD})}},
    {"WaitSendOldFirmware",
     k8S1P,
     "V1.9",
     false,
     cmd({FAS_WAIT_SEND, 0}),
     {ans({FAS_WAIT_SEND, 0, ERR_BAD_CMD})}},
    {"WaitSendFirmware3",
     k8S1P,
     "V3.0",
     false,
     cmd({FAS_WAIT_SEND, 0}),
     {ans({FAS_WAIT_SEND, 0, 0})}},
    {"InTimersUnknown",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_IN_TIMERS, 0}),
     {ans({FAS_IN_TIMERS, 0, ERR_BAD_CMD})}},
    {"LineStateUnknown",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_LINE_STATE, 0}),
     {ans({FAS_LINE_STATE, 0, ERR_BAD_CMD})}},
    {"ConfigLinkUnknown",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_CONFIG_LINK, 3}),
     {ans({FAS_CONFIG_LINK, 3, ERR_BAD_CMD})}},
    {"MuxStatsWithoutPods",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_MUX_STATS, 0}),
     {ans({FAS_MUX_STATS, 0, ERR_BAD_CMD})}},
    {"UnitResetBeforeSix",
     k8S1P,
     "V2.3",
     false,
     cmd({FAS_UNIT_RESET, 0, 0, 0, 0, 0, 0, 0}),
     {ans({FAS_UNIT_RESET, 0, ERR_BAD_CMD})}},
    // On an enabled line.
    {"EnableTwice", k8S1P, "V2.3", true, cmd({FAS_ENABLE, 0}), {ans({FAS_ENABLE, 0, 0})}},
    {"StatusRequestPending", k8S1P, "V2.3", true, stat_req(0, 0x04), {}},
    {"SecondGrant", k8S1P, "V2.3", true, grant(0), {recv_ans(0, ERR_MULT_CMD, "")}},
    {"SendNoFarEnd", k8S1P, "V2.3", true, send_cmd(0, "abc"), {ans({FAS_SEND, 0, 0})}},
    {"Break", k8S1P, "V2.3", true, cmd({FAS_SEND_BREAK, 0}), {ans({FAS_SEND_BREAK, 0, 0})}},
    {"DisableAnswersGrant",
     k8S1P,
     "V2.3",
     true,
     cmd({FAS_DISABLE, 0}),
     {recv_ans(0, 0, ""), ans({FAS_DISABLE, 0, 0})}},
};

INSTANTIATE_TEST_SUITE_P(Engine, OpcodeAnswers, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, OnlyOneStatusRequestPerLine) {
  make("QMX-8S1P-115A");
  open_serial(0);
  EXPECT_TRUE(exchange({stat_req(0, 0x04)}).empty());
  EXPECT_EQ(exchange({stat_req(0, 0x04)}),
            std::vector<Bytes>{ans({FAS_STAT_CHG, 0, ERR_MULT_CMD, 0, 0x04})});
  engine->set_carrier(0, true);
  EXPECT_EQ(answers(), std::vector<Bytes>{ans({FAS_STAT_CHG, 0, 0, 0x04, 0x04})});
}

TEST_F(EngineTest, ParametersReachTheLine) {
  make("QMX-16S-230NA");
  write({cmd({FAS_EXT_PARAMS, 2, 1, 2, 1, 0x81, 34, 15}), flow(2, 0x81, 0x83),
         cmd({FAS_SET_MODEM, 2, 0x81, 0x82})});
  const LineState s = engine->line_state(2);
  EXPECT_EQ(s.params.data_bits, 6);
  EXPECT_EQ(s.params.stop_bits, 2);
  EXPECT_EQ(s.params.parity, 1);
  EXPECT_TRUE(s.params.local_loopback);
  EXPECT_EQ(s.params.out_bps, 230400);
  EXPECT_EQ(s.params.in_code, 15);
  EXPECT_TRUE(s.flow.in_xoff && s.flow.in_rtscts && s.flow.out_xon && s.flow.out_xany &&
              s.flow.out_rtscts);
  EXPECT_EQ(s.flow.max_send, 0x047Eu);
  EXPECT_TRUE(s.rts);
  EXPECT_FALSE(s.dtr);
  EXPECT_FALSE(s.hangup_on_disable);
}

} // namespace
} // namespace qdemu::test
