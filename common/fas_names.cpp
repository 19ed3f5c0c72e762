// Opcode names and trace labels.
#include "fas.h"

#include <array>

namespace {

constexpr std::array<const char*, FAS_SPECIAL_FUNC + 1> kNames = {
    "FAS_GLOBAL",     "FAS_ENABLE",       "FAS_DISABLE",     "FAS_SEND",         "FAS_RECV",
    "FAS_IN_TIMERS",  "FAS_OUTPUT_CTRL",  "FAS_INPUT_CTRL",  "FAS_SET_MODEM",    "FAS_STAT_CHG",
    "FAS_SEND_BREAK", "FAS_SET_PARAMS",   "FAS_FLOW_CTRL",   "FAS_RESERVE",      "FAS_RELEASE",
    "FAS_RESET",      "FAS_UNIT_STATS",   "FAS_WAIT_SEND",   "FAS_LINE_STATE",   "FAS_LINE_INQUIRY",
    "FAS_LPT_TEST",   "FAS_UNIT_POLL",    "FAS_UNIT_UNLOCK", "FAS_UNIT_INQUIRY", "FAS_EXT_PARAMS",
    "FAS_UNIT_RESET", "FAS_SPECIAL_FUNC",
};

// Labels exist for 0-24 only; the opcodes added later never got one.
constexpr std::array<const char*, FAS_EXT_PARAMS + 1> kLabels = {
    "Global  ", "Enable  ", "Disable ", "Send    ", "Recv    ", "InTmrs  ", "OutCtrl ",
    "InpCtrl ", "SetMdm  ", "StatChg ", "SendBrk ", "SetParms", "FlowCtrl", "Reserve ",
    "Release ", "Reset   ", "UStats  ", "WaitSnd ", "LState  ", "LInquiry", "LptTest ",
    "UnitPoll", "Uunlock ", "UInquiry", "ExtParms",
};

} // namespace

const char* fas_cmd_name(int op) {
  const unsigned b = static_cast<unsigned>(op) & 0xff;
  if (b < kNames.size())
    return kNames[b];
  switch (b) {
  case FAS_CONFIG_LINK:
    return "FAS_CONFIG_LINK";
  case FAS_MUX_STATS:
    return "FAS_MUX_STATS";
  case PKT_END:
    return "PKT_END";
  default:
    return "?";
  }
}

const char* fas_trace_label(int op) {
  if (op >= 0 && static_cast<unsigned>(op) < kLabels.size())
    return kLabels[static_cast<unsigned>(op)];
  return "????????";
}
