// Model table rows, model lookup, port kinds by layout and the speed check.
#include "qmx_unittab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Shape {
  int ports;
  int pktsize;
  std::uint32_t code;
  std::uint32_t flags;
  int rows;
};

// Every model has one of these shapes; rows are grouped by shape in this order.
constexpr Shape kShapes[] = {
    {2, 2048, 0x20022, 0x0C, 4},     {3, 2048, 0x2010D, 0x04, 1},    {3, 2048, 0x2010F, 0x00, 1},
    {3, 2048, 0x2010F, 0x04, 1},     {3, 4096, 0x20122, 0x04, 1},    {3, 4096, 0x30D, 0x02, 1},
    {4, 2048, 0x4000F, 0x00, 2},     {4, 4096, 0x40022, 0x04, 1},    {8, 2048, 0x8000F, 0x00, 2},
    {8, 2048, 0x8000F, 0x04, 1},     {8, 2048, 0x8000F, 0x08, 2},    {8, 2048, 0x8010D, 0x00, 1},
    {8, 4096, 0x80022, 0x04, 1},     {9, 2048, 0x8010D, 0x00, 2},    {9, 2048, 0x8010F, 0x00, 4},
    {9, 2048, 0x8010F, 0x08, 1},     {9, 4096, 0x80122, 0x04, 2},    {16, 2048, 0x10000D, 0x00, 4},
    {16, 2048, 0x10000F, 0x08, 3},   {16, 2048, 0x10000F, 0x88, 1},  {16, 2048, 0x10000F, 0x0C, 1},
    {16, 2048, 0x100022, 0x0C, 2},   {16, 4096, 0x10000F, 0x00, 7},  {16, 4096, 0x10000F, 0x04, 2},
    {16, 4096, 0x100022, 0x04, 4},   {32, 2048, 0x20000D, 0x00, 1},  {32, 2048, 0x20000F, 0x08, 1},
    {32, 2048, 0x200022, 0x0C, 1},   {32, 4096, 0x20000F, 0x00, 1},  {32, 4096, 0x200022, 0x04, 1},
    {126, 4096, 0x138070D, 0x01, 1}, {126, 4096, 0x7E000F, 0x00, 1},
};

bool same_shape(const qd_unitinfo& r, const Shape& s) {
  return r.nlines == s.ports && r.pktsize == s.pktsize && r.code == s.code && r.flags == s.flags;
}

std::vector<const qd_unitinfo*> rows() {
  std::vector<const qd_unitinfo*> v;
  for (const qd_unitinfo* r = qdunittab; r->name != nullptr; ++r)
    v.push_back(r);
  return v;
}

constexpr int kSerial = QD_PORT_SERIAL;
constexpr int kLp = QD_PORT_LP;
constexpr int kAlt = QD_PORT_LP_ALT;
constexpr int kNone = QD_PORT_NONE;

qd_unitinfo synthetic(std::uint32_t code) {
  return {"synthetic", 16, 2048, code, 0};
}

TEST(UnitTable, RowsFollowTheShapesInOrder) {
  const auto all = rows();
  ASSERT_EQ(all.size(), 59u);
  EXPECT_EQ(qdunittab[59].name, nullptr);
  std::size_t i = 0;
  for (const Shape& s : kShapes) {
    for (int n = 0; n < s.rows; ++n, ++i) {
      ASSERT_LT(i, all.size());
      EXPECT_TRUE(same_shape(*all[i], s))
          << all[i]->name << " at row " << i << " is not of shape ports=" << s.ports << " code=0x"
          << std::hex << s.code << " flags=0x" << s.flags;
    }
  }
  EXPECT_EQ(i, all.size());
}

TEST(UnitTable, NamesAreUsableProductNames) {
  std::set<std::string> seen;
  for (const qd_unitinfo* r : rows()) {
    const std::string name = r->name;
    EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 16u) << name;
    // No blank or tab (the lookup token ends there), no comma (qd.conf cuts there).
    EXPECT_EQ(name.find_first_of(" \t,"), std::string::npos) << name;
  }
}

// Serial and printer ports as a name spells them: "<n>S<m>P" behind the family, with
// "7POD-" before it for seven pods of that make-up. The pod model's family is "QMX2-": the
// update tool takes a 2 in the fourth place for a unit that can carry pods.
std::pair<int, int> spelled_ports(std::string name) {
  for (const char* family : {"QMX-", "QMX2-", "Lanvara"})
    if (name.rfind(family, 0) == 0)
      name.erase(0, std::strlen(family));
  int pods = 1;
  if (name.rfind("7POD-", 0) == 0) {
    pods = 7;
    name.erase(0, 5);
  }
  name.erase(std::min(name.find('-'), name.size()));
  int serial = 0, printer = 0, n = 0;
  for (char ch : name) {
    if (ch >= '0' && ch <= '9') {
      n = n * 10 + (ch - '0');
      continue;
    }
    (ch == 'S' ? serial : printer) = n;
    n = 0;
  }
  return {serial * pods, printer * pods};
}

TEST(UnitTable, NameSpellsThePorts) {
  for (const qd_unitinfo* r : rows()) {
    int serial = 0, printer = 0;
    for (unsigned p = 0; p < static_cast<unsigned>(r->nlines); ++p) {
      const int kind = qdf_port_type(r, p);
      serial += qd_port_is_serial(kind);
      printer += qd_port_is_parallel(kind);
    }
    EXPECT_EQ(spelled_ports(r->name), std::make_pair(serial, printer)) << r->name;
  }
}

TEST(UnitTable, LanvaraRows) {
  int lanvara = 0;
  int marked = 0;
  for (const qd_unitinfo* r : rows()) {
    const std::string name = r->name;
    const bool is_lanvara = (r->flags & QDM_LANVARA) != 0;
    EXPECT_EQ(is_lanvara, name.rfind("Lanvara", 0) == 0) << name;
    if (!is_lanvara) {
      EXPECT_EQ(r->flags & QDM_VARIANT, 0u) << name;
      continue;
    }
    ++lanvara;
    marked += (r->flags & QDM_VARIANT) != 0;
    EXPECT_EQ(r->pktsize, 2048) << name;
    EXPECT_LE(r->nlines, 32) << name; // a Lanvara unit has 32 port slots
    // The relay daemon reports the name NUL-terminated in 16 bytes.
    EXPECT_LE(name.size(), 15u) << name;
  }
  EXPECT_EQ(lanvara, 16);
  EXPECT_EQ(marked, 1);
}

struct LookupCase {
  const char* text;
  const char* found; // null: no row
};

TEST(ModelLookup, TokenRules) {
  const LookupCase cases[] = {
      {"QMX-3P", "QMX-3P"},
      {"QMX-3P          1.00", "QMX-3P"}, // inquiry product field, blank padded
      {"QMX-3P   junk", "QMX-3P"},
      {"QMX-3P\tjunk", "QMX-3P"},
      {"QMX2-7POD-8S1P57", "QMX2-7POD-8S1P57"},
      {"QMX2-7POD-8S1P571.02", "QMX2-7POD-8S1P57"}, // field full: revision follows at once
      {"QMX2-7POD-8S1P57X", "QMX2-7POD-8S1P57"},    // 17 characters, cut to 16
      {"Lanvara16S-115A", "Lanvara16S-115A"},
      {"Lanvara16S-115AZ", nullptr}, // 16 characters, compared whole
      {"QMX-2S1P-115", "QMX-2S1P-115"},
      {"QMX-2S1P-115N", "QMX-2S1P-115N"},
      {"QMX-2S1P-11", nullptr}, // a prefix of a name is not the name
      {"qmx-3p", nullptr},
      {" QMX-3P", nullptr},
      {"\tQMX-3P", nullptr},
      {"", nullptr},
      {"QMX-3P,10.0.0.5", nullptr}, // the qd.conf reader cuts at the comma, not the lookup
  };
  for (const auto& c : cases) {
    const qd_unitinfo* r = qdm_get_unitinfo(c.text);
    if (c.found == nullptr) {
      EXPECT_EQ(r, nullptr) << '"' << c.text << '"';
    } else {
      ASSERT_NE(r, nullptr) << '"' << c.text << '"';
      EXPECT_STREQ(r->name, c.found);
    }
  }
  EXPECT_EQ(qdm_get_unitinfo(nullptr), nullptr);
}

TEST(ModelLookup, EveryRowFindsItself) {
  for (const qd_unitinfo* r : rows()) {
    EXPECT_EQ(qdm_get_unitinfo(r->name), r) << r->name;
    const std::string padded = std::string(r->name) + "   x";
    EXPECT_EQ(qdm_get_unitinfo(padded.c_str()), r) << padded;
  }
}

TEST(ModelLookup, ReadsNoFurtherThanTheProductField) {
  // Exactly the 16 product bytes, no terminator behind them.
  std::array<char, 16> field;
  std::memcpy(field.data(), "QMX2-7POD-8S1P57", 16);
  const qd_unitinfo* r = qdm_get_unitinfo(field.data());
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->name, "QMX2-7POD-8S1P57");
}

struct LayoutCase {
  const char* model;
  std::vector<int> kinds; // ports 0, 1, ...; every later port has none
};

TEST(PortKinds, ByLayout) {
  const int s22 = kSerial | 0x22, s0d = kSerial | 0x0d, s0f = kSerial | 0x0f;
  const LayoutCase cases[] = {
      {"Lanvara2S-230A", {s22, s22}},
      {"QMX-2S1P-57N", {s0d, s0d, kLp}},
      {"QMX-2S1P-230N", {s22, s22, kLp}},
      {"QMX-3P", {kLp, kAlt, kLp}},
      {"QMX-4S-115A", {s0f, s0f, s0f, s0f}},
      {"QMX-8S-115A", {s0f, s0f, s0f, s0f, s0f, s0f, s0f, s0f}},
      // 8 ports with the 8 + printer layout: port 8 is named a printer but never counted.
      {"QMX-8S-57", {s0d, s0d, s0d, s0d, s0d, s0d, s0d, s0d, kLp}},
      {"QMX-8S1P-115A", {s0f, s0f, s0f, s0f, s0f, s0f, s0f, s0f, kLp}},
      {"QMX-16S-57A", std::vector<int>(16, s0d)},
      {"QMX-32S-230N", std::vector<int>(32, s22)},
      {"QMX-126S-115", std::vector<int>(126, s0f)},
  };
  for (const auto& c : cases) {
    const qd_unitinfo* r = qdm_get_unitinfo(c.model);
    ASSERT_NE(r, nullptr) << c.model;
    for (unsigned p = 0; p < c.kinds.size() + 3; ++p) {
      const int want = p < c.kinds.size() ? c.kinds[p] : kNone;
      EXPECT_EQ(qdf_port_type(r, p), want) << c.model << " port " << p;
    }
    // Port numbers compare unsigned: a negative one is a huge one.
    EXPECT_EQ(qdf_port_type(r, 0x80000000u), kNone) << c.model;
    EXPECT_EQ(qdf_port_type(r, ~0u), kNone) << c.model;
  }
}

TEST(PortKinds, Pods) {
  const qd_unitinfo* r = qdm_get_unitinfo("QMX2-7POD-8S1P57");
  ASSERT_NE(r, nullptr);
  const int s = kSerial | 0x0d;
  const std::pair<unsigned, int> cases[] = {
      {0, s},     {7, s},       {8, kLp},     {9, kNone},   {17, kNone},  {18, s},
      {25, s},    {26, kLp},    {27, kNone},  {35, kNone},  {108, s},     {115, s},
      {116, kLp}, {117, kNone}, {125, kNone}, {126, kNone}, {134, kNone}, {~0u, kNone},
  };
  for (const auto& [port, kind] : cases)
    EXPECT_EQ(qdf_port_type(r, port), kind) << "port " << port;
}

TEST(PortKinds, UnknownLayoutAndNoRow) {
  for (std::uint32_t code : {0x50000Fu, 0x10Fu, 0x0Du, 0x200u}) {
    const qd_unitinfo r = synthetic(code);
    for (unsigned p = 0; p < 20; ++p)
      EXPECT_EQ(qdf_port_type(&r, p), kNone) << std::hex << code << " port " << p;
  }
  EXPECT_EQ(qdf_port_type(nullptr, 0), kNone);
}

struct BaudCase {
  std::uint32_t highest;
  std::vector<int> accepted;
  std::vector<int> refused;
};

TEST(SpeedCheck, SerialPortsByHighestCode) {
  const BaudCase cases[] = {
      {13, {0, 1, 10, 12, 13}, {14, 15, 24, 255}},
      {15, {0, 13, 14, 15}, {16, 24, 34, 255}},
      {34, {15, 19, 24, 34}, {35, 41, 47, 255}},
      {47, {24, 34, 41, 47}, {48, 100, 255}},
      // Any other highest code admits nothing.
      {16, {}, {0, 1, 13, 16, 255}},
      {0, {}, {0, 255}},
  };
  for (const auto& c : cases) {
    const qd_unitinfo r = synthetic(0x100000 | c.highest);
    for (int code : c.accepted)
      EXPECT_EQ(qdf_check_baud(&r, 3, code), 0) << "highest " << c.highest << " code " << code;
    for (int code : c.refused)
      EXPECT_EQ(qdf_check_baud(&r, 3, code), 1) << "highest " << c.highest << " code " << code;
  }
}

TEST(SpeedCheck, ParallelTakesAnyCodeAndMissingPortsNone) {
  const qd_unitinfo* three = qdm_get_unitinfo("QMX-3P");
  const qd_unitinfo* pods = qdm_get_unitinfo("QMX2-7POD-8S1P57");
  const qd_unitinfo* two = qdm_get_unitinfo("Lanvara2S-230A");
  ASSERT_TRUE(three && pods && two);
  for (int code : {0, 15, 47, 255, 1000}) {
    EXPECT_EQ(qdf_check_baud(three, 0, code), 0) << code;
    EXPECT_EQ(qdf_check_baud(three, 1, code), 0) << code; // the second parallel kind
    EXPECT_EQ(qdf_check_baud(pods, 26, code), 0) << code;
    EXPECT_EQ(qdf_check_baud(three, 3, code), 1) << code;
    EXPECT_EQ(qdf_check_baud(pods, 27, code), 1) << code;
    EXPECT_EQ(qdf_check_baud(two, 2, code), 1) << code;
    EXPECT_EQ(qdf_check_baud(two, -1, code), 1) << code;
  }
  EXPECT_EQ(qdf_check_baud(pods, 25, 13), 0);
  EXPECT_EQ(qdf_check_baud(pods, 25, 14), 1);
}

TEST(SpeedTable, Codes) {
  const std::pair<int, qd_baudinfo> cases[] = {
      {0, {255, 0}},      {1, {16, 50}},      {2, {0, 75}},       {11, {8, 2400}},
      {13, {10, 9600}},   {15, {12, 38400}},  {16, {13, 57600}},  {18, {15, 115200}},
      {19, {24, 153600}}, {20, {34, 230400}}, {22, {47, 460800}},
  };
  for (const auto& [index, row] : cases) {
    EXPECT_EQ(baud[index].code, row.code) << "index " << index;
    EXPECT_EQ(baud[index].speed, row.speed) << "index " << index;
    EXPECT_EQ(qd_baud_code(index), row.code) << "index " << index;
  }
  for (int i = 2; i < QD_NBAUD; ++i)
    EXPECT_GT(baud[i].speed, baud[i - 1].speed) << "index " << i;
  for (int index : {23, 24, 31, 1000, -1})
    EXPECT_EQ(qd_baud_code(index), QD_NO_SPEED) << "index " << index;
}

TEST(SpeedTable, NoSpeedIsRefusedOnEverySerialPort) {
  for (const qd_unitinfo* r : rows()) {
    for (unsigned p = 0; p < static_cast<unsigned>(r->nlines); ++p) {
      if (!qd_port_is_serial(qdf_port_type(r, p)))
        continue;
      EXPECT_EQ(qdf_check_baud(r, static_cast<int>(p), qd_baud_code(23)), 1) << r->name;
      EXPECT_EQ(qdf_check_baud(r, static_cast<int>(p), qd_baud_code(0)), 1) << r->name;
      EXPECT_EQ(qdf_check_baud(r, static_cast<int>(p), qd_baud_code(13)), 0) << r->name;
    }
  }
}

} // namespace
