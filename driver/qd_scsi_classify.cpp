// What a completed WRITE or READ means for the transport: go on, retry, or give the unit up.
#include "ksys/cmn_err.h"
#include "ksys/scsi.h"
#include "qd_transport.h"

namespace {

constexpr int GOOD = 0;
constexpr int RETRY = 1;
constexpr int OFFLINE = 2;

// Texts of the transport's completion reasons, by pkt_reason; every one is retried.
constexpr const char* reason_text[] = {
    "",
    "transport stopped with not normal state",
    "DMA direction error occurred",
    "unspecified transport error",
    "SCSI bus reset destroyed command",
    "command transport aborted on request",
    "command timed out",
    "data overrun",
    "command overrun",
    "status overrun",
    "message not command complete",
    "target refused to go to Message Out phase",
    "Extended Identify message rejected",
    "Initiator Detected Error message rejected",
    "Abort message rejected",
    "Reject message rejected",
    "No Operation message rejected",
    "Message Parity Error message rejected",
    "Bus Device Reset message rejected",
    "Identify message rejected",
    "unexpected Bus Free Phase occurred",
    "target rejected tag message",
};
constexpr int NREASONS = static_cast<int>(sizeof reason_text / sizeof reason_text[0]);
static_assert(NREASONS == CMD_TAG_REJECT + 1);

struct sense_rule {
  uchar_t key;
  int result;
  const char* text;
};
constexpr sense_rule sense_rules[] = {
    {KEY_HARDWARE_ERROR, OFFLINE, "hardware fault detected in Orvane module at power-up"},
    {KEY_ILLEGAL_REQUEST, RETRY, "bad CDB detected at Orvane module"},
    {KEY_UNIT_ATTENTION, OFFLINE, "Orvane module was power-cycled"},
    {KEY_ABORTED_COMMAND, RETRY, "parity error during data-transfer phase"},
};

int check_condition(const scsi_pkt* pkt, const char** reason) {
  if ((pkt->pkt_state & STATE_ARQ_DONE) == 0) {
    *reason = "check condition";
    return OFFLINE;
  }
  const auto* arq = reinterpret_cast<const scsi_arq_status*>(pkt->pkt_scbp);
  const uchar_t byte2 = arq->sts_sensedata.es_key;
  if ((byte2 & SENSE_ILI) != 0) {
    *reason = "FAS packet size violation (>2K, >4K)";
    return OFFLINE;
  }
  const uchar_t key = byte2 & SENSE_KEY_MASK;
  for (const sense_rule& r : sense_rules) {
    if (r.key == key) {
      *reason = r.text;
      return r.result;
    }
  }
  cmn_err(CE_NOTE, "qd: sense key=0x%X", static_cast<unsigned>(key));
  *reason = "unanticipated check condition";
  return OFFLINE;
}

} // namespace

int qdm_scsi_pkt_OK(scsi_pkt* pkt, const char** reason) {
  if (pkt->pkt_reason != CMD_CMPLT) {
    if (pkt->pkt_reason < NREASONS) {
      *reason = reason_text[pkt->pkt_reason];
    } else {
      cmn_err(CE_NOTE, "qd: pkt_reason=0x%X", static_cast<unsigned>(pkt->pkt_reason));
      *reason = "unknown reason";
    }
    return RETRY;
  }
  const uchar_t status = *pkt->pkt_scbp;
  if ((status & STATUS_BUSY) != 0) {
    *reason = "target is busy";
    return RETRY;
  }
  if ((status & STATUS_CHECK) != 0) {
    return check_condition(pkt, reason);
  }
  if (pkt->pkt_statistics == STAT_PERR) {
    *reason = "SCSI parity error";
    return RETRY;
  }
  *reason = "";
  return GOOD;
}
