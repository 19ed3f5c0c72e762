// Classification of completed SCSI commands: every completion reason, busy, each sense
// key, incorrect length, check condition without sense data, and parity.
#include <string>

#include "driver_fixture.h"
#include "ksys/scsi.h"

namespace {

using ClassifyTest = DriverFixture;

struct Completed {
  scsi_pkt pkt{};
  scsi_arq_status arq{};
  Completed() { pkt.pkt_scbp = reinterpret_cast<uchar_t*>(&arq); }
};

struct Case {
  uchar_t reason = CMD_CMPLT;
  uchar_t status = STATUS_GOOD;
  uint_t state = STATE_GOT_BUS | STATE_GOT_TARGET | STATE_SENT_CMD | STATE_GOT_STATUS;
  uint_t statistics = 0;
  uchar_t sense_byte2 = 0;
  int result = 0;
  std::string text;
  std::string console;
};

constexpr uint_t kArq =
    STATE_GOT_BUS | STATE_GOT_TARGET | STATE_SENT_CMD | STATE_GOT_STATUS | STATE_ARQ_DONE;

Case reason(uchar_t r, std::string text, std::string console = "") {
  Case c;
  c.reason = r;
  c.result = 1;
  c.text = std::move(text);
  c.console = std::move(console);
  return c;
}

Case check(uchar_t byte2, int result, std::string text, std::string console = "") {
  Case c;
  c.status = STATUS_CHECK;
  c.state = kArq;
  c.sense_byte2 = byte2;
  c.result = result;
  c.text = std::move(text);
  c.console = std::move(console);
  return c;
}

TEST_F(ClassifyTest, Matrix) {
  std::vector<Case> cases = {
      Case{},
      reason(1, "transport stopped with not normal state"),
      reason(2, "DMA direction error occurred"),
      reason(3, "unspecified transport error"),
      reason(4, "SCSI bus reset destroyed command"),
      reason(5, "command transport aborted on request"),
      reason(6, "command timed out"),
      reason(7, "data overrun"),
      reason(8, "command overrun"),
      reason(9, "status overrun"),
      reason(10, "message not command complete"),
      reason(11, "target refused to go to Message Out phase"),
      reason(12, "Extended Identify message rejected"),
      reason(13, "Initiator Detected Error message rejected"),
      reason(14, "Abort message rejected"),
      reason(15, "Reject message rejected"),
      reason(16, "No Operation message rejected"),
      reason(17, "Message Parity Error message rejected"),
      reason(18, "Bus Device Reset message rejected"),
      reason(19, "Identify message rejected"),
      reason(20, "unexpected Bus Free Phase occurred"),
      reason(21, "target rejected tag message"),
      reason(22, "unknown reason", "NOTICE: qd: pkt_reason=0x16\n"),
      check(KEY_HARDWARE_ERROR, 2, "hardware fault detected in Orvane module at power-up"),
      check(KEY_ILLEGAL_REQUEST, 1, "bad CDB detected at Orvane module"),
      check(KEY_UNIT_ATTENTION, 2, "Orvane module was power-cycled"),
      check(KEY_ABORTED_COMMAND, 1, "parity error during data-transfer phase"),
      check(KEY_NOT_READY, 2, "unanticipated check condition", "NOTICE: qd: sense key=0x2\n"),
      check(SENSE_ILI | KEY_ILLEGAL_REQUEST, 2, "FAS packet size violation (>2K, >4K)"),
  };
  Case busy;
  busy.status = STATUS_BUSY;
  busy.result = 1;
  busy.text = "target is busy";
  cases.push_back(busy);
  Case no_sense = check(KEY_UNIT_ATTENTION, 2, "check condition");
  no_sense.state &= ~STATE_ARQ_DONE;
  cases.push_back(no_sense);
  Case parity;
  parity.statistics = STAT_PERR;
  parity.result = 1;
  parity.text = "SCSI parity error";
  cases.push_back(parity);
  Case parity_and_more = parity; // only STAT_PERR on its own counts
  parity_and_more.statistics = STAT_PERR | STAT_SYNC;
  parity_and_more.result = 0;
  parity_and_more.text = "";
  cases.push_back(parity_and_more);
  Case busy_reason = reason(CMD_RESET, "SCSI bus reset destroyed command"); // reason first
  busy_reason.status = STATUS_BUSY;
  cases.push_back(busy_reason);

  console();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Completed done;
    done.pkt.pkt_reason = c.reason;
    done.pkt.pkt_state = c.state;
    done.pkt.pkt_statistics = c.statistics;
    done.arq.sts_status = c.status;
    done.arq.sts_sensedata.es_code = CLASS_EXTENDED_SENSE;
    done.arq.sts_sensedata.es_key = c.sense_byte2;
    const char* text = "unset";
    EXPECT_EQ(qdm_scsi_pkt_OK(&done.pkt, &text), c.result);
    EXPECT_EQ(std::string(text), c.text);
    EXPECT_EQ(console(), c.console);
  }
}

} // namespace
