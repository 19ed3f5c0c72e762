// The command layer: the records of every command, how an outcome is classified and
// reported, busy retries, and the sense report with the vendor status words.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "tool_doubles.h"
#include "unit_channel.h"

namespace kvscsi::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes cdb_of(const qd_scsi_cmd& sb) {
  return Bytes(sb.cdb, sb.cdb + sb.cdb_len);
}

TEST(CommandRecords, EveryCommandAsTheUnitExpectsIt) {
  const kv_dev unit{.bus = 3, .target = 5};
  struct Row {
    const char* name;
    std::function<void(qd_scsi_cmd&)> fill;
    std::uint8_t flags;
    Bytes cdb;
    std::uint8_t data_len;
    std::uint8_t timeout;
  };
  const std::vector<Row> rows = {
      {"test unit ready",
       [&](auto& sb) { set_test_unit_ready(sb, unit); },
       0,
       {0x00, 0, 0, 0, 0, 0},
       0,
       1},
      {"inquiry", [&](auto& sb) { set_inquiry(sb, unit); }, 1, {0x12, 0, 0, 0, 0xE9, 0}, 233, 1},
      {"request sense",
       [&](auto& sb) { set_request_sense(sb, unit); },
       1,
       {0x03, 0, 0, 0, 0xE9, 0},
       233,
       1},
      {"vendor status",
       [&](auto& sb) { set_vendor_status(sb, unit); },
       1,
       {0x3C, 1, 0, 0, 0, 0, 0, 0, 0x10, 0x80},
       16,
       1},
      {"pod inventory",
       [&](auto& sb) { set_pod_inventory(sb, unit); },
       1,
       {0x3C, 1, 1, 0, 0, 0, 0, 0, 0xC0, 0x80},
       192,
       1},
      {"reprogramming mode",
       [&](auto& sb) { set_prog_mode(sb, unit); },
       0,
       {0x3B, 5, 0, 0, 0, 0, 0, 0, 0, 0x80},
       0,
       1},
      {"select pods",
       [&](auto& sb) { set_select(sb, unit, 0x7F, 0x012345); },
       0,
       {0x3B, 5, 1, 0x7F, 0, 0, 0x01, 0x23, 0x45, 0x80},
       0,
       1},
      {"data block",
       [&](auto& sb) { set_data_block(sb, unit, 44, 0x010100); },
       2,
       {0x3B, 5, 2, 0x01, 0x01, 0x00, 0, 0, 44, 0x80},
       44,
       180},
      {"restart",
       [&](auto& sb) { set_restart(sb, unit); },
       0,
       {0x3B, 5, 4, 0, 0, 0, 0, 0, 0, 0x80},
       0,
       1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    qd_scsi_cmd sb{};
    std::fill(std::begin(sb.cdb), std::end(sb.cdb), 0xEE); // a previous command's leftovers
    sb.lun = 7;
    sb.data[0] = 0x5A;
    r.fill(sb);
    EXPECT_EQ(sb.flags, r.flags);
    EXPECT_EQ(sb.bus, 3);
    EXPECT_EQ(sb.target, 5);
    EXPECT_EQ(sb.lun, 0);
    EXPECT_EQ(cdb_of(sb), r.cdb);
    EXPECT_EQ(Bytes(sb.cdb + sb.cdb_len, sb.cdb + 12), Bytes(12 - sb.cdb_len, 0));
    EXPECT_EQ(sb.data_len, r.data_len);
    EXPECT_EQ(sb.timeout, r.timeout);
    EXPECT_EQ(sb.data[0], 0x5A) << "the data area is left alone";
  }
}

class Channel : public ::testing::Test {
protected:
  ScriptConsole con;
  ScriptPort port;
  UnitChannel ch{port, con};
  const kv_dev unit{.bus = 1, .target = 3};
};

TEST_F(Channel, OutcomeClassification) {
  struct Row {
    const char* name;
    std::vector<Reply> replies;
    bool quiet;
    int result;
    std::size_t sent;
    std::vector<unsigned> pauses;
    std::string printed;
  };
  const std::vector<Row> rows = {
      {"good", {Reply::good()}, false, 0, 1, {}, ""},
      {"ioctl refused", {Reply::fails(ENODEV)}, false, 1, 1, {}, ""},
      {"busy three times, then good",
       {Reply::busy(), Reply::busy(), Reply::busy(), Reply::good()},
       false,
       0,
       4,
       {1, 1, 1},
       ""},
      {"busy throughout", std::vector<Reply>(9, Reply::busy()), false, 1, 8,
       std::vector<unsigned>(7, 1), "Error at Bus 1 Target 3: transport error, device busy\n"},
      {"busy throughout, quiet", std::vector<Reply>(9, Reply::busy()), true, 1, 8,
       std::vector<unsigned>(7, 1), ""},
      {"bad packet",
       {Reply{.tran = QD_SCSI_BADPKT}},
       false,
       1,
       1,
       {},
       "Error at Bus 1 Target 3: transport error, bad command packet format\n"},
      {"fatal transport error",
       {Reply{.tran = QD_SCSI_FATAL}},
       false,
       1,
       1,
       {},
       "Error at Bus 1 Target 3: transport error, bad command packet format\n"},
      {"packet reason", {Reply{.reason = 4}}, false, 1, 1, {}, "pkt_reason = 4\n"},
      {"busy status", {Reply{.status = 8}}, false, 1, 1, {}, "scsi_status = 8\n"},
      {"check condition, quiet", {Reply::check()}, true, 1, 1, {}, ""},
      {"check condition, sense fetched",
       {Reply::check(), Reply::good(sense_data(5))},
       false,
       1,
       2,
       {},
       "\nError at Bus 1 Target 3: scsi status = 02\nRequest Sense: sense key = Illegal Request\n"},
      {"check condition, sense refused",
       {Reply::check(), Reply::check()},
       false,
       1,
       2,
       {},
       "\nError at Bus 1 Target 3: scsi status = 02\n\nError performing SCSI Request "
       "Sense!\nscsi_status = 2\n"},
      {"check condition, vendor status refused",
       {Reply::check(), Reply::good(sense_data(9)), Reply{.reason = 6}},
       false,
       1,
       3,
       {},
       "\nError at Bus 1 Target 3: scsi status = 02\nRequest Sense: sense key = Vendor "
       "Unique\n\nError getting vendor unique sense info\npkt_reason = 6\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    con = ScriptConsole{};
    port.sent.clear();
    port.replies.assign(r.replies.begin(), r.replies.end());
    set_prog_mode(ch.record(), unit);
    EXPECT_EQ(ch.do_scsi_cmd(r.quiet), r.result);
    EXPECT_EQ(port.sent.size(), r.sent);
    EXPECT_EQ(con.pauses, r.pauses);
    EXPECT_EQ(con.both, r.printed);
  }
}

TEST_F(Channel, VendorStatusWordsOfACheckCondition) {
  // The key is the low 4 bits of sense byte 2.
  port.replies = {
      Reply::check(), Reply::good(sense_data(0x29)),
      Reply::good(status_words({0x8002, 0x0000, 0x0000, 0x8041, 0x0100, 0xC000, 0x8000, 0x80FF}))};
  set_prog_mode(ch.record(), unit);
  EXPECT_EQ(ch.do_scsi_cmd(false), 1);
  EXPECT_EQ(con.stdout_text, "\nError at Bus 1 Target 3: scsi status = 02\n"
                             "Request Sense: sense key = Vendor Unique\n"
                             "\nVendor unique status:\n"
                             "0: 8002\n"
                             "Main unit:   Waiting 1: 0000\n"
                             "2: 0000\n"
                             "3: 8041\n"
                             "Pod unit 2:  Sequence error Original data 4: 0100\n"
                             "5: c000\n"
                             "Pod unit 4:  Lost communication 6: 8000\n"
                             "7: 80ff\n"
                             "Pod unit 6:  EEPROM failed Sequence error Checksum error "
                             "Incomplete data Version error Flash memory not installed Waiting "
                             "Original data ");
  // The vendor status is read from the unit of the REQUEST SENSE.
  const auto sent = port.scsi();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(cdb_of(sent[1]), (Bytes{0x03, 0, 0, 0, 0xE9, 0}));
  EXPECT_EQ(cdb_of(sent[2]), (Bytes{0x3C, 1, 0, 0, 0, 0, 0, 0, 0x10, 0x80}));
  EXPECT_EQ(sent[2].bus, 1);
  EXPECT_EQ(sent[2].target, 3);
}

TEST_F(Channel, RestartFailureSaysSo) {
  port.replies = {Reply{.tran = QD_SCSI_BADPKT}};
  EXPECT_EQ(ch.restart_fas(unit), 1);
  EXPECT_EQ(con.stdout_text, "Error at Bus 1 Target 3: transport error, bad command packet "
                             "format\nCouldn't restart firmware\n");
}

TEST_F(Channel, InventoryIsKeptOnlyWhenRead) {
  ch.inventory().fill(0);
  port.replies = {Reply::check(), Reply::good(sense_data(2))};
  EXPECT_EQ(ch.read_version(unit), 1);
  EXPECT_EQ(ch.inventory()[0], 0) << "a failed read leaves the buffer";
  Bytes inv(192, 0);
  inv[0] = 'Q';
  port.replies = {Reply::good(inv)};
  EXPECT_EQ(ch.read_version(unit), 0);
  EXPECT_EQ(ch.inventory()[0], 'Q');
}

} // namespace
} // namespace kvscsi::test
