// FAS header rules: sizing, line numbers, opcode check, names, labels and the packet dump.
#include "fas.h"
#include "qd.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kemu/console.h"

namespace {

using Hdr = std::array<unsigned char, 8>;

const std::set<int> kValid = [] {
  std::set<int> s;
  for (int op = 0; op <= 26; ++op)
    s.insert(op);
  s.insert({50, 51, 100});
  return s;
}();
const std::set<int> kUnitWide = {0, 21, 22, 23, 50, 51, 100};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    out.push_back(l);
  return out;
}

class FasTest : public ::testing::Test {
protected:
  void SetUp() override { kemu::take_console(); }
};

struct SizeCase {
  Hdr hdr;
  int inbound;
  int size;
};

TEST_F(FasTest, SizesCountFieldsByDirection) {
  const SizeCase cases[] = {
      {{FAS_RECV, 1, 0, 0, 0x10, 0x00, 0, 0}, 1, 24},
      {{FAS_RECV, 1, 0, 0, 0x10, 0x00, 0, 0}, 0, 8},
      {{FAS_SEND, 1, 0x00, 0x01, 0, 0, 0, 0}, 0, 264},
      {{FAS_SEND, 1, 0x00, 0x01, 0x55, 0x55, 0, 0}, 1, 8},
      {{FAS_SEND, 0, 0xff, 0xff, 0, 0, 0, 0}, 0, 8 + 65535},
      // Each count is read from its own bytes only; the others hold noise.
      {{FAS_RECV, 0, 0x77, 0x77, 0x05, 0x00, 0x77, 0x77}, 1, 13},
      {{FAS_UNIT_STATS, 3, 0x77, 0x77, 0x34, 0x12, 0x77, 0x77}, 1, 8 + 0x1234},
      {{FAS_LINE_STATE, 3, 0x77, 0x77, 0x00, 0x02, 0x77, 0x77}, 1, 8 + 512},
      {{FAS_MUX_STATS, 0, 0x77, 0x77, 0xff, 0x00, 0x77, 0x77}, 1, 8 + 255},
      {{FAS_UNIT_INQUIRY, 0, 0x77, 0x77, 0x99, 0x99, 0x20, 0x00}, 1, 40},
      {{FAS_UNIT_INQUIRY, 0, 0x77, 0x77, 0x99, 0x99, 0x20, 0x01}, 1, 8 + 0x120},
      {{FAS_UNIT_INQUIRY, 0, 0x77, 0x77, 0x99, 0x99, 0x20, 0x00}, 0, 8},
      {{FAS_UNIT_STATS, 3, 0x77, 0x77, 0x34, 0x12, 0x77, 0x77}, 0, 8},
      {{PKT_END, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 0, 1},
      {{PKT_END, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 1, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(size_faspkt(c.hdr.data(), c.inbound), c.size)
        << fas_cmd_name(c.hdr[0]) << " inbound=" << c.inbound;
  }
}

TEST_F(FasTest, OpcodesWithoutDataAreHeaderSized) {
  const std::set<int> data_in = {FAS_RECV,      FAS_UNIT_STATS,   FAS_LINE_STATE,
                                 FAS_MUX_STATS, FAS_UNIT_INQUIRY, PKT_END};
  for (int op = 0; op < 256; ++op) {
    Hdr h;
    h.fill(0xff);
    h[0] = static_cast<unsigned char>(op);
    if (op != FAS_SEND && op != PKT_END) {
      EXPECT_EQ(size_faspkt(h.data(), 0), 8) << "outbound opcode " << op;
    }
    if (!data_in.count(op)) {
      EXPECT_EQ(size_faspkt(h.data(), 1), 8) << "inbound opcode " << op;
    }
  }
}

TEST_F(FasTest, LineNumberOnlyForLineOpcodes) {
  for (int op = 0; op < 256; ++op) {
    const Hdr h = {static_cast<unsigned char>(op), 0xab, 0, 0, 0, 0, 0, 0};
    const bool unit_wide = kUnitWide.count(op) != 0;
    EXPECT_EQ(byte1_is_linenum(h.data()), unit_wide ? 0 : 1) << "opcode " << op;
    EXPECT_EQ(linenum(h.data()), unit_wide ? -1 : 0xab) << "opcode " << op;
  }
}

TEST_F(FasTest, ValidOpcodesPassSilently) {
  for (int op : kValid) {
    const Hdr h = {static_cast<unsigned char>(op), 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(fascmd_is_ok(h.data()), 1) << "opcode " << op;
  }
  EXPECT_EQ(kemu::take_console(), "");
}

TEST_F(FasTest, EachInvalidOpcodeWarnsOnce) {
  for (int op = 0; op < 256; ++op) {
    if (kValid.count(op))
      continue;
    const Hdr h = {static_cast<unsigned char>(op), 1, 2, 3, 4, 5, 6, 0xff};
    EXPECT_EQ(fascmd_is_ok(h.data()), 0) << "opcode " << op;
    char want[96];
    std::snprintf(want, sizeof want,
                  "WARNING: Bad FAS command (invalid opcode): %02x010203 040506ff\n", op);
    EXPECT_EQ(kemu::take_console(), want);
  }
}

TEST_F(FasTest, NamesFollowLowByte) {
  const std::pair<int, const char*> cases[] = {
      {0, "FAS_GLOBAL"}, {26, "FAS_SPECIAL_FUNC"}, {50, "FAS_CONFIG_LINK"}, {51, "FAS_MUX_STATS"},
      {100, "PKT_END"},  {0x164, "PKT_END"},       {0x100, "FAS_GLOBAL"},   {27, "?"},
      {-1, "?"},
  };
  for (const auto& [op, name] : cases)
    EXPECT_STREQ(fas_cmd_name(op), name) << "opcode " << op;
  // Every valid opcode has a name of its own; no invalid one has any.
  std::set<std::string> seen;
  for (int op = 0; op < 256; ++op) {
    const std::string n = fas_cmd_name(op);
    if (kValid.count(op)) {
      EXPECT_TRUE(seen.insert(n).second) << "duplicate name " << n;
    } else {
      EXPECT_EQ(n, "?") << "opcode " << op;
    }
  }
}

TEST_F(FasTest, TraceLabels) {
  const std::pair<int, const char*> cases[] = {
      {0, "Global  "},       {3, "Send    "},  {11, "SetParms"},  {12, "FlowCtrl"},
      {22, "Uunlock "},      {23, "UInquiry"}, {24, "ExtParms"},  {25, "????????"},
      {26, "????????"},      {50, "????????"}, {100, "????????"}, {-1, "????????"},
      {256 + 3, "????????"},
  };
  for (const auto& [op, label] : cases)
    EXPECT_STREQ(fas_trace_label(op), label) << "opcode " << op;
  std::set<std::string> seen;
  for (int op = 0; op <= 24; ++op) {
    const std::string l = fas_trace_label(op);
    EXPECT_EQ(l.size(), 8u) << "opcode " << op;
    EXPECT_TRUE(seen.insert(l).second) << "duplicate label " << l;
  }
}

// A packet filled as a taken packet is: 0xCC up to its size.
struct Packet {
  qd_pkt pkt{};
  Packet(int used, int rptr, int space) {
    std::memset(pkt.data, 0xcc, sizeof pkt.data);
    for (int i = 0; i < used; ++i)
      pkt.data[i] = static_cast<unsigned char>(i);
    pkt.qd_rptr = pkt.data + rptr;
    pkt.qd_wptr = pkt.data + used;
    pkt.space_remaining = space;
  }
};

TEST_F(FasTest, DumpOfEmptyPacket) {
  Packet p(0, 0, 2047);
  dump_qd_pkt(&p.pkt);
  EXPECT_EQ(kemu::take_console(), "NOTICE: Orvane FAS packet dump (0 bytes):\n"
                                  "NOTICE: (empty FAS packet)\n");
}

TEST_F(FasTest, DumpShowsWholeLastLine) {
  Packet p(17, 8, 2030);
  dump_qd_pkt(&p.pkt);
  EXPECT_EQ(kemu::take_console(), "NOTICE: Orvane FAS packet dump (17 bytes):\n"
                                  "NOTICE: qd_rptr=0x8, qd_wptr=0x17, space_remaining=2030\n"
                                  "NOTICE: 00: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
                                  "NOTICE: 01: 10 CC CC CC CC CC CC CC CC CC CC CC CC CC CC CC\n");
}

TEST_F(FasTest, DumpLineCounts) {
  const std::pair<int, int> cases[] = {{1, 1}, {16, 1}, {32, 2}, {33, 3}, {4096, 256}};
  for (const auto& [used, nlines] : cases) {
    Packet p(used, 0, 4095 - used);
    dump_qd_pkt(&p.pkt);
    const auto lines = lines_of(kemu::take_console());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(2 + nlines)) << used << " bytes";
    char last[16];
    std::snprintf(last, sizeof last, "NOTICE: %02X: ", nlines - 1);
    EXPECT_EQ(lines.back().rfind(last, 0), 0u) << lines.back();
    EXPECT_EQ(lines.back().size(), std::strlen(last) + 16 * 3 - 1);
  }
}

TEST_F(FasTest, DumpStaysInsideData) {
  // A write pointer run past the data (a broken invariant) must not widen the dump.
  Packet p(0, 0, 0);
  const auto base = reinterpret_cast<std::uintptr_t>(p.pkt.data);
  p.pkt.qd_wptr = reinterpret_cast<unsigned char*>(base + QD_PKT_DATA + 40);
  dump_qd_pkt(&p.pkt);
  const auto lines = lines_of(kemu::take_console());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "NOTICE: Orvane FAS packet dump (4136 bytes):");
  EXPECT_EQ(lines.size(), 2u + 256u);
}

TEST_F(FasTest, CountHelpersAreLittleEndian) {
  Hdr h{};
  fas_put16(h.data() + 2, 0x1234);
  EXPECT_EQ(h[2], 0x34);
  EXPECT_EQ(h[3], 0x12);
  EXPECT_EQ(fas_get16(h.data() + 2), 0x1234u);
  h[0] = FAS_SEND;
  EXPECT_EQ(size_faspkt(h.data(), 0), 8 + 0x1234);
}

} // namespace
