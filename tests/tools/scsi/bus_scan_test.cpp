// The bus scan tool's listing: what answers, what is passed over, busy devices, and the
// driver refusing the request.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "bus_scan.h"
#include "tool_doubles.h"

namespace kvscsi::test {
namespace {

// What answers at each address (bus * 16 + target); empty addresses are ENODEV.
class Addresses {
public:
  std::map<int, std::vector<Reply>> at;
  std::map<int, int> asked;

  Reply operator()(const qd_scsi_cmd& sb) {
    const int a = sb.bus * 16 + sb.target;
    const int n = asked[a]++;
    const auto it = at.find(a);
    if (it == at.end()) {
      return Reply::fails(ENODEV);
    }
    const auto& script = it->second;
    return script[std::min<std::size_t>(static_cast<std::size_t>(n), script.size() - 1)];
  }
};

std::string prompts(int bus, int from, int to) {
  std::string s;
  for (int t = from; t <= to; ++t) {
    s += "\rBus " + std::to_string(bus) + " Target " + std::to_string(t) + ": ";
  }
  return s;
}

TEST(BusScan, ListsWhatAnswers) {
  auto addresses = std::make_shared<Addresses>();
  Addresses& a = *addresses;
  a.at[0 * 16 + 1] = {Reply::good(inquiry_data(0x19, "OrvaneCo", "QMX-8S1P-115A", "V2.3"))};
  a.at[0 * 16 + 3] = {Reply::busy(), Reply::busy(),
                      Reply::good(inquiry_data(0x7F, "QUANTRIX", "QD-540S", "1.05"))};
  a.at[1 * 16 + 0] = {Reply::busy()};
  a.at[1 * 16 + 2] = {Reply::check()};
  a.at[1 * 16 + 4] = {Reply{.reason = 3}};
  a.at[1 * 16 + 5] = {Reply{.tran = QD_SCSI_BADPKT}};
  // A name shorter than its field ends at its NUL.
  auto short_name = inquiry_data(1, "ACME", "TAPE", "0");
  short_name[8 + 4] = 0;
  short_name[16 + 4] = 0;
  a.at[7 * 16 + 6] = {Reply::good(short_name)};
  a.at[8 * 16 + 0] = {Reply::good(inquiry_data(9, "OrvaneCo", "QMX-8S-57", "V1.0"))};

  ScriptConsole con;
  ScriptPort port;
  port.fallback = [addresses](const qd_scsi_cmd& sb) { return (*addresses)(sb); };
  EXPECT_EQ(scan_buses(port, con), 0);

  std::string want = "Scanning SCSI bus...\n";
  want += prompts(0, 0, 1) + " Comm    QMX-8S1P-115A    OrvaneCo V2.3\n";
  want += prompts(0, 2, 3) + " Illegal QD-540S          QUANTRIX 1.05\n";
  want += prompts(0, 4, 6) + prompts(1, 0, 0) + "device busy, can't identify\n";
  want += prompts(1, 1, 6);
  for (int bus = 2; bus < 7; ++bus) {
    want += prompts(bus, 0, 6);
  }
  want += prompts(7, 0, 6) + " Tape    TAPE ACME 0   \n";
  want += "\r                              \r";
  EXPECT_EQ(con.stdout_text, want);
  EXPECT_EQ(con.stderr_text, "");

  EXPECT_EQ(a.asked[1 * 16 + 0], 20) << "busy: 20 attempts";
  EXPECT_EQ(a.asked[0 * 16 + 3], 3);
  EXPECT_EQ(a.asked[1 * 16 + 2], 1) << "a check condition is not retried";
  EXPECT_EQ(a.asked.count(8 * 16 + 0), 0u) << "buses 8-15 are not scanned";
  EXPECT_EQ(port.sent.size(), 8u * 7 + 19 + 2);
  for (const auto& s : port.sent) {
    EXPECT_EQ(std::vector<std::uint8_t>(s.scsi.cdb, s.scsi.cdb + s.scsi.cdb_len),
              (std::vector<std::uint8_t>{0x12, 0, 0, 0, 0xE9, 0}));
    EXPECT_EQ(s.scsi.flags, QD_SCSI_DATA_IN);
    EXPECT_EQ(s.scsi.data_len, 233);
    EXPECT_EQ(s.scsi.timeout, 1);
  }
}

TEST(BusScan, DeviceTypeByTheLowFourBits) {
  const std::pair<std::uint8_t, const char*> rows[] = {
      {0x00, "Disk   "}, {0x01, "Tape   "}, {0x02, "Printer"}, {0x03, "Proc   "}, {0x04, "WORM   "},
      {0x05, "CDROM  "}, {0x06, "Scanner"}, {0x07, "Optical"}, {0x08, "Changer"}, {0x09, "Comm   "},
      {0x19, "Comm   "}, {0x0A, "Illegal"}, {0x7F, "Illegal"}, {0xE0, "Disk   "}};
  for (const auto& [byte, name] : rows) {
    EXPECT_STREQ(device_type_name(byte), name) << int{byte};
  }
}

TEST(BusScan, AnUnexpectedRefusalEndsTheScan) {
  ScriptConsole con;
  ScriptPort port;
  port.replies = {Reply::fails(ENODEV), Reply::fails(ENXIO)};
  EXPECT_EQ(scan_buses(port, con), 1);
  EXPECT_EQ(port.sent.size(), 2u);
  EXPECT_EQ(con.stderr_text, std::string(std::strerror(ENXIO)) +
                                 "\n\nQMXDIRECT not supported, check driver revision.\n");
  EXPECT_EQ(con.stdout_text, "Scanning SCSI bus...\n" + prompts(0, 0, 1));
}

} // namespace
} // namespace kvscsi::test
