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
  // A device probe examined (recorded in qd_devs) that is no unit of ours.
  void probed(int target, std::shared_ptr<kemu::ScsiTarget> dev) {
    scsa_->adapter(kAdapter).plug(target, 0, std::move(dev));
    qd_devs[kAdapter * 16 + target] = scsa_->adapter(kAdapter).device(target, 0);
  }
  kemu::Hba& hba() { return scsa_->adapter(kAdapter); }
};

TEST_F(DiagScsi, InquiryOfAUnitAndOfAnyOtherProbedDevice) {
  scsi_unit(2);
  auto rec = std::make_shared<Recorder>();
  probed(5, rec);
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
  EXPECT_EQ(c.data[0], 0xA0);
  EXPECT_EQ(c.data[35], 0xA0 + 35);
  ASSERT_EQ(rec->cdbs.size(), 1u);
  EXPECT_EQ(rec->cdbs[0], (std::vector<std::uint8_t>{SCMD_INQUIRY, 0, 0, 0, 36, 0}));

  // Plugged at the adapter but never probed: the driver knows no device there.
  scsa_->adapter(kAdapter).plug(6, 0, std::make_shared<Recorder>());
  c = inquiry(6);
  EXPECT_EQ(istr(d, QMXSCSI, c).error, ENODEV);
  EXPECT_EQ(scsa_->packets(), 0u);
}

TEST_F(DiagScsi, DataOutReachesTheDevice) {
  auto rec = std::make_shared<Recorder>();
  probed(4, rec);
  qd_scsi_cmd c =
      command(4, {SCMD_WRITE_BUFFER, 5, 2, 0, 0, 0, 0, 0, 16, 0x80}, QD_SCSI_DATA_OUT, 16);
  for (int i = 0; i < 16; ++i) {
    c.data[i] = static_cast<std::uint8_t>(i * 3);
  }
  ASSERT_TRUE(istr(diag(), QMXSCSI, c).ok());
  EXPECT_EQ(c.tran_stat, QD_SCSI_ACCEPTED);
  ASSERT_EQ(rec->data_out.size(), 16u);
  EXPECT_TRUE(std::equal(rec->data_out.begin(), rec->data_out.end(), c.data));
  EXPECT_EQ(rec->cdbs.at(0).size(), 10u);
}

TEST_F(DiagScsi, CheckConditionLeavesTheDataAndKeepsTheSenseForRequestSense) {
  scsi_unit(2); // switched on a while ago: its power-on unit attention is pending
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
  scsi_unit(2);
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
  EXPECT_EQ(scsa_->packets(), 0u);
}

TEST_F(DiagScsi, TimedOutCommandReportsItsReason) {
  scsi_unit(2);
  hba().inject(2, 0, kemu::ScsiFault::no_completion().on(SCMD_INQUIRY));
  qd_scsi_cmd c = inquiry(2);
  const clock_t start = kernel_.lbolt();
  ASSERT_TRUE(istr(diag(), QMXSCSI, c).ok());
  EXPECT_EQ(kernel_.lbolt() - start, hz) << "the record's time-out, one second";
  EXPECT_EQ(c.tran_stat, QD_SCSI_ACCEPTED);
  EXPECT_EQ(c.reason, CMD_TIMEOUT);
  EXPECT_EQ(c.data[0], 0x5A);
}

TEST_F(DiagScsi, OneCommandAtATimeDriverWide) {
  scsi_unit(2);
  kemu::StreamFile& d = diag();
  hba().inject(2, 0, kemu::ScsiFault::latency(5 * hz).on(SCMD_INQUIRY));
  // The first caller gives up waiting; its command is still outstanding.
  qd_scsi_cmd first = inquiry(2);
  first.timeout = 10;
  EXPECT_EQ(istr(d, QMXSCSI, first, 1).error, ETIME);
  qd_scsi_cmd second = inquiry(2);
  EXPECT_EQ(istr(d, QMXSCSI, second, 1).error, EBUSY);
  kernel_.advance(5 * hz);
  EXPECT_EQ(scsa_->packets(), 0u) << "the completion released the packet";
  ASSERT_TRUE(istr(d, QMXSCSI, second).ok());
  EXPECT_EQ(second.data[0], DTYPE_COMM);
}

TEST_F(DiagScsi, CompletionAfterTheStreamClosedIsDropped) {
  scsi_unit(2);
  kemu::StreamFile& d = diag();
  hba().inject(2, 0, kemu::ScsiFault::latency(5 * hz).on(SCMD_INQUIRY));
  qd_scsi_cmd c = inquiry(2);
  c.timeout = 10;
  EXPECT_EQ(istr(d, QMXSCSI, c, 1).error, ETIME);
  close(d);
  kernel_.advance(5 * hz);
  EXPECT_EQ(qd_scsi_ioctl_slot.mp, nullptr);
  EXPECT_EQ(scsa_->packets(), 0u);
}

TEST_F(DiagScsi, UnloadWaitsForAnOutstandingCommandWithinItsLimit) {
  scsi_unit(2);
  hba().inject(2, 0, kemu::ScsiFault::no_completion().on(SCMD_INQUIRY));
  qd_scsi_cmd c = inquiry(2);
  c.timeout = 3;
  const clock_t start = kernel_.lbolt();
  EXPECT_EQ(istr(diag(), QMXSCSI, c, 1).error, ETIME);
  EXPECT_EQ(scsa_->packets(), 1u);
  run([] { qdm_scsi_ioctl_release(); });
  EXPECT_EQ(scsa_->packets(), 0u);
  EXPECT_LE(kernel_.lbolt() - start, 3 * hz + hz / 10);
  EXPECT_EQ(qd_scsi_ioctl_slot.mp, nullptr);
  EXPECT_EQ(qd_scsi_ioctl_slot.pkt, nullptr);
}

TEST_F(DiagScsi, RecordWithoutATimeLimitStillGetsOne) {
  scsi_unit(2);
  hba().inject(2, 0, kemu::ScsiFault::no_completion().on(SCMD_INQUIRY));
  qd_scsi_cmd c = inquiry(2);
  c.timeout = 0;
  const clock_t start = kernel_.lbolt();
  ASSERT_TRUE(istr(diag(), QMXSCSI, c).ok());
  EXPECT_EQ(c.reason, CMD_TIMEOUT);
  EXPECT_EQ(kernel_.lbolt() - start, 255 * hz);
}

TEST_F(DiagScsi, RecordsThatNameNothingOrReachPastTheirFieldsAreRefused) {
  scsi_unit(2);
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
  EXPECT_EQ(scsa_->packets(), 0u);
  EXPECT_TRUE(istr(d, QMXSCSI, c).ok()) << "the slot is free again";
}

TEST_F(DiagScsi, NoPacketIsEnomem) {
  scsi_unit(2);
  scsa_->fail_pktiopb_nth(1);
  qd_scsi_cmd c = inquiry(2);
  EXPECT_EQ(istr(diag(), QMXSCSI, c).error, ENOMEM);
  scsa_->fail_init_pkt_nth(1);
  c = command(2, {SCMD_TEST_UNIT_READY, 0, 0, 0, 0, 0});
  EXPECT_EQ(istr(diag(), QMXSCSI, c).error, ENOMEM);
}

} // namespace
} // namespace diag_test
