// The direct SCSI command: to any device probe recorded, with the transport's answer, the
// status and the reason in the record, one at a time driver-wide, and its refusals.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "diag_fixture.h"
#include "ksys/scsi.h"

namespace diag_test {
namespace {

// A device that records what it is sent and answers every command good, data in with a
// pattern.
class Recorder : public kemu::ScsiTarget {
public:
  void command(std::shared_ptr<kemu::ScsiCommand> cmd) override {
    cdbs.emplace_back(cmd->cdb().begin(), cmd->cdb().end());
    data_out.assign(cmd->data_out().begin(), cmd->data_out().end());
    auto in = cmd->data_in();
    for (std::size_t i = 0; i < in.size(); ++i) {
      in[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    cmd->complete(kemu::ScsiAnswer::good());
  }
  std::vector<std::vector<std::uint8_t>> cdbs;
  std::vector<std::uint8_t> data_out;
};

qd_scsi_cmd command(int target, std::initializer_list<std::uint8_t> cdb, std::uint8_t flags = 0,
                    std::uint8_t data_len = 0) {
  qd_scsi_cmd c{};
  c.flags = flags;
  c.target = static_cast<std::uint8_t>(target);
  c.cdb_len = static_cast<std::uint8_t>(cdb.size());
  c.data_len = data_len;
  c.timeout = 1;
  std::copy(cdb.begin(), cdb.end(), c.cdb);
  c.tran_stat = c.scsi_stat = c.reason = 0x77; // the driver sets them
  std::fill(std::begin(c.data), std::end(c.data), 0x5A);
  return c;
}

qd_scsi_cmd inquiry(int target) {
  return command(target, {SCMD_INQUIRY, 0, 0, 0, 36, 0}, QD_SCSI_DATA_IN, 36);
}

class DiagScsi : public DiagFixture {
protected:
  void begin(std::string_view conf = "") {
    start(conf);
    packets_ = scsa_->packets(); // the units' own
  }
  kemu::Hba& hba() { return scsa_->adapter(kBus); }
  std::size_t packets_ = 0;
};

TEST_F(DiagScsi, InquiryOfAUnitAndOfAnyOtherProbedDevice) {
  add_qmx(2);
  topo_->add_device(kBus, 5, {.device_type = DTYPE_DIRECT});
  begin("name=\"qd\" class=\"scsi\" target=7 lun=0;\n"); // a child where nothing answers
  kemu::StreamFile& d = diag();

  qd_scsi_cmd c = inquiry(2);
  ASSERT_TRUE(istr(d, QMXSCSI, c).ok());
  EXPECT_EQ(c.tran_stat, QD_SCSI_ACCEPTED);
  EXPECT_EQ(c.scsi_stat, 0);
  EXPECT_EQ(c.reason, 0);
  EXPECT_EQ(c.data[0], DTYPE_COMM);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&c.data[8]), 8), "OrvaneCo");
  EXPECT_EQ(c.data[36], 0x5A) << "only the data length is copied in";

  c = inquiry(5);
  ASSERT_TRUE(istr(d, QMXSCSI, c).ok());
  EXPECT_EQ(c.tran_stat, QD_SCSI_ACCEPTED);
  EXPECT_EQ(c.reason, 0);
  EXPECT_EQ(c.data[0], DTYPE_DIRECT);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&c.data[8]), 8), "QUANTRIX");

  c = inquiry(7);
  ASSERT_TRUE(istr(d, QMXSCSI, c).ok());
  EXPECT_EQ(c.tran_stat, QD_SCSI_ACCEPTED);
  EXPECT_EQ(c.reason, CMD_INCOMPLETE) << "selection timed out";

  // Plugged at the adapter after the driver looked: it knows no device there.
  hba().plug(6, 0, std::make_shared<Recorder>());
  c = inquiry(6);
  EXPECT_EQ(istr(d, QMXSCSI, c).error, ENODEV);
  EXPECT_EQ(scsa_->packets(), packets_);
}

TEST_F(DiagScsi, DataOutReachesTheDevice) {
  auto rec = std::make_shared<Recorder>();
  scsa_->adapter(kBus).plug(4, 0, rec);
  begin("name=\"qd\" class=\"scsi\" target=4 lun=0;\n");
  qd_scsi_cmd c =
      command(4, {SCMD_WRITE_BUFFER, 5, 2, 0, 0, 0, 0, 0, 16, 0x80}, QD_SCSI_DATA_OUT, 16);
  for (int i = 0; i < 16; ++i) {
    c.data[i] = static_cast<std::uint8_t>(i * 3);
  }
  ASSERT_TRUE(istr(diag(), QMXSCSI, c).ok());
  EXPECT_EQ(c.tran_stat, QD_SCSI_ACCEPTED);
  ASSERT_EQ(rec->data_out.size(), 16u);
  EXPECT_TRUE(std::equal(rec->data_out.begin(), rec->data_out.end(), c.data));
  EXPECT_EQ(rec->cdbs.back(),
            (std::vector<std::uint8_t>{SCMD_WRITE_BUFFER, 5, 2, 0, 0, 0, 0, 0, 16, 0x80}));
}

TEST_F(DiagScsi, CheckConditionLeavesTheDataAndKeepsTheSenseForRequestSense) {
  qdemu::QmxUnit& qmx = add_qmx(2);
  begin();
  qmx.power_cycle(); // a unit attention is pending once it is ready again
  kernel_.advance(2 * hz);
  kemu::StreamFile& d = diag();
  qd_scsi_cmd c = command(2, {SCMD_TEST_UNIT_READY, 0, 0, 0, 0, 0});
  ASSERT_TRUE(istr(d, QMXSCSI, c).ok());
  EXPECT_EQ(c.tran_stat, QD_SCSI_ACCEPTED);
  EXPECT_EQ(c.scsi_stat, STATUS_CHECK);
  EXPECT_EQ(c.reason, CMD_CMPLT);
  EXPECT_TRUE(std::all_of(std::begin(c.data), std::end(c.data), [](auto b) { return b == 0x5A; }));

  c = command(2, {SCMD_REQUEST_SENSE, 0, 0, 0, 18, 0}, QD_SCSI_DATA_IN, 18);
  ASSERT_TRUE(istr(d, QMXSCSI, c).ok());
  EXPECT_EQ(c.scsi_stat, 0);
  EXPECT_EQ(c.data[2] & 0xf, KEY_UNIT_ATTENTION);
}

TEST_F(DiagScsi, TransportRefusalIsAcknowledgedWithItsResultAndTheCallerRepeats) {
  add_qmx(2);
  begin();
  kemu::StreamFile& d = diag();
  struct Case {
    int tran;
    std::uint8_t byte6;
  };
  for (const Case& k : {Case{TRAN_BUSY, QD_SCSI_BUSY}, Case{TRAN_BADPKT, QD_SCSI_BADPKT},
                        Case{TRAN_FATAL_ERROR, QD_SCSI_FATAL}}) {
    hba().inject(2, 0, kemu::ScsiFault::refuse(k.tran));
    qd_scsi_cmd c = inquiry(2);
    ASSERT_TRUE(istr(d, QMXSCSI, c).ok()) << k.tran;
    EXPECT_EQ(c.tran_stat, k.byte6);
    EXPECT_EQ(c.scsi_stat, 0);
    EXPECT_EQ(c.reason, 0);
    EXPECT_EQ(c.data[0], 0x5A);
  }
  // The tools send the same record again while it says busy.
  hba().inject(2, 0, kemu::ScsiFault::busy().times(2));
  qd_scsi_cmd c = inquiry(2);
  int tries = 0;
  do {
    ASSERT_TRUE(istr(d, QMXSCSI, c).ok());
    ++tries;
  } while (c.tran_stat == QD_SCSI_BUSY && tries < 8);
  EXPECT_EQ(tries, 3);
  EXPECT_EQ(c.tran_stat, QD_SCSI_ACCEPTED);
  EXPECT_EQ(c.data[0], DTYPE_COMM);
  EXPECT_EQ(scsa_->packets(), packets_);
}

TEST_F(DiagScsi, CommandThatNeverCompletesEndsAtItsTimeLimit) {
  add_qmx(2);
  begin();
  hba().inject(2, 0, kemu::ScsiFault::no_completion().on(SCMD_INQUIRY).times(2));
  // A record without a limit still gets one: the most a record can ask for.
  for (const auto& [seconds, waited] : {std::pair{1, 1}, std::pair{0, 255}}) {
    qd_scsi_cmd c = inquiry(2);
    c.timeout = static_cast<std::uint8_t>(seconds);
    const clock_t start = kernel_.lbolt();
    ASSERT_TRUE(istr(diag(), QMXSCSI, c).ok());
    EXPECT_EQ(kernel_.lbolt() - start, waited * hz) << seconds;
    EXPECT_EQ(c.tran_stat, QD_SCSI_ACCEPTED);
    EXPECT_EQ(c.reason, CMD_TIMEOUT);
    EXPECT_EQ(c.data[0], 0x5A);
  }
}

TEST_F(DiagScsi, OneCommandAtATimeDriverWide) {
  add_qmx(2);
  begin();
  kemu::StreamFile& d = diag();
  hba().inject(2, 0, kemu::ScsiFault::latency(5 * hz).on(SCMD_INQUIRY));
  // The first caller gives up waiting; its command is still outstanding.
  qd_scsi_cmd first = inquiry(2);
  first.timeout = 10;
  EXPECT_EQ(istr(d, QMXSCSI, first, 1).error, ETIME);
  qd_scsi_cmd second = inquiry(2);
  EXPECT_EQ(istr(d, QMXSCSI, second, 1).error, EBUSY);
  kernel_.advance(5 * hz);
  EXPECT_EQ(scsa_->packets(), packets_) << "the completion released the packet";
  ASSERT_TRUE(istr(d, QMXSCSI, second).ok());
  EXPECT_EQ(second.data[0], DTYPE_COMM);
}

TEST_F(DiagScsi, CompletionAfterTheStreamClosedIsDropped) {
  add_qmx(2);
  begin();
  kemu::StreamFile& d = diag();
  hba().inject(2, 0, kemu::ScsiFault::latency(5 * hz).on(SCMD_INQUIRY));
  qd_scsi_cmd c = inquiry(2);
  c.timeout = 10;
  EXPECT_EQ(istr(d, QMXSCSI, c, 1).error, ETIME);
  close(d);
  kernel_.advance(5 * hz);
  EXPECT_EQ(qd_scsi_ioctl_slot.mp, nullptr);
  EXPECT_EQ(scsa_->packets(), packets_);
}

TEST_F(DiagScsi, UnloadWaitsForAnOutstandingCommandWithinItsLimit) {
  add_qmx(2);
  begin();
  hba().inject(2, 0, kemu::ScsiFault::no_completion().on(SCMD_INQUIRY));
  qd_scsi_cmd c = inquiry(2);
  c.timeout = 3;
  const clock_t start = kernel_.lbolt();
  EXPECT_EQ(istr(diag(), QMXSCSI, c, 1).error, ETIME);
  EXPECT_EQ(scsa_->packets(), packets_ + 1);
  run([] { qdm_scsi_ioctl_release(); });
  EXPECT_EQ(scsa_->packets(), packets_);
  EXPECT_LE(kernel_.lbolt() - start, 3 * hz + hz / 10);
  EXPECT_EQ(qd_scsi_ioctl_slot.mp, nullptr);
  EXPECT_EQ(qd_scsi_ioctl_slot.pkt, nullptr);
}

TEST_F(DiagScsi, RecordsThatNameNothingOrReachPastTheirFieldsAreRefused) {
  add_qmx(2);
  begin();
  kemu::StreamFile& d = diag();
  struct Case {
    const char* what;
    void (*change)(qd_scsi_cmd&);
  };
  const Case cases[] = {
      {"LUN 1", [](qd_scsi_cmd& c) { c.lun = 1; }},
      {"target 16", [](qd_scsi_cmd& c) { c.target = 16; }},
      {"bus 16", [](qd_scsi_cmd& c) { c.bus = 16; }},
      {"no CDB", [](qd_scsi_cmd& c) { c.cdb_len = 0; }},
      {"CDB of 13", [](qd_scsi_cmd& c) { c.cdb_len = 13; }},
      {"data of 234", [](qd_scsi_cmd& c) { c.data_len = 234; }},
  };
  for (const Case& k : cases) {
    qd_scsi_cmd c = inquiry(2);
    k.change(c);
    EXPECT_EQ(istr(d, QMXSCSI, c).error, EINVAL) << k.what;
  }
  qd_scsi_cmd c = inquiry(2);
  EXPECT_EQ(istr(d, QMXSCSI, &c, sizeof c - 1).error, EINVAL) << "short record";
  EXPECT_EQ(scsa_->packets(), packets_);
  EXPECT_TRUE(istr(d, QMXSCSI, c).ok()) << "the slot is free again";
}

TEST_F(DiagScsi, NoPacketIsEnomem) {
  add_qmx(2);
  begin();
  scsa_->fail_pktiopb_nth(1);
  qd_scsi_cmd c = inquiry(2);
  EXPECT_EQ(istr(diag(), QMXSCSI, c).error, ENOMEM);
  scsa_->fail_init_pkt_nth(1);
  c = command(2, {SCMD_TEST_UNIT_READY, 0, 0, 0, 0, 0});
  EXPECT_EQ(istr(diag(), QMXSCSI, c).error, ENOMEM);
}

} // namespace
} // namespace diag_test
