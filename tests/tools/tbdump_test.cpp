// tbdump: options, the request from a port's minor number, the title, and a ring's text put
// in time order from its end mark.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tbdump/trace_request.h"

namespace {

std::string unwrap(const std::string& ring) {
  return tbdump::unwrap(std::span<const char>(ring.data(), ring.size()));
}

// A ring of `size` bytes with the text of the records written one after another, wrapping,
// and the end mark after the last, as the driver writes it.
std::string ring_after(std::size_t size, const std::vector<std::string>& records) {
  std::string ring(size, '\0');
  std::size_t cursor = 0;
  for (const std::string& r : records) {
    for (char c : r) {
      ring[cursor] = c;
      cursor = (cursor + 1) % size;
    }
    ring[cursor] = '~';
  }
  return ring;
}

TEST(TbdumpUnwrap, BeforeTheFirstWrap) {
  std::string ring = ring_after(64, {"open\n", "close\n"});
  EXPECT_EQ(unwrap(ring), "~open\nclose\n") << "the NULs after the mark print nothing";
}

TEST(TbdumpUnwrap, AfterWrapping) {
  std::string ring = ring_after(16, {"aaaa\n", "bbbb\n", "cccc\n", "dddd\n"});
  // 20 characters into 16: the newest four overwrite the oldest, the mark the fifth.
  ASSERT_EQ(ring.find('~'), 4u);
  EXPECT_EQ(unwrap(ring), "~bbbb\ncccc\ndddd\n");
}

TEST(TbdumpUnwrap, MarkAtTheStartPrintsInStoredOrder) {
  std::string ring = "~xyz\nabc\n";
  EXPECT_EQ(unwrap(ring), "~xyz\nabc\n");
}

TEST(TbdumpUnwrap, MarkAtTheLastByte) {
  std::string ring = ring_after(8, {"0123456"});
  ASSERT_EQ(ring.back(), '~');
  EXPECT_EQ(unwrap(ring), "~0123456");
  ring = ring_after(8, {"0123456", "789"});
  EXPECT_EQ(unwrap(ring), "~3456789") << "the first mark was overwritten by the next record";
}

TEST(TbdumpUnwrap, EmptyAndUnmarkedRings) {
  EXPECT_EQ(unwrap(std::string(32, '\0')), "No data in trace buffer.\n");
  std::string text = "abc";
  text.append(5, '\0');
  text += "def";
  EXPECT_EQ(unwrap(text), "No wrap point found!\nabcdef");
}

TEST(TbdumpUnwrap, OnlyTheFirstMarkCounts) {
  std::string ring = "ab~cd~ef";
  EXPECT_EQ(unwrap(ring), "~cd~efab");
}

TEST(TbdumpRequest, FieldsFromTheMinorNumber) {
  struct Case {
    std::uint32_t minor;
    std::uint8_t bus, target, line, lanvara;
  };
  const Case cases[] = {
      {0x0000, 0, 0, 0, 0},     {0x1905, 1, 9, 5, 0},    // bus 1, target 9, port 5
      {0x2190a, 1, 9, 0x0a, 0},                          // its dial-out node
      {0xf3ff, 15, 3, 0xff, 0}, {0x1a307, 0xa, 3, 7, 1}, // Lanvara unit 0xa3, port 7
      {0x3a307, 0xa, 3, 7, 1},                           // and its dial-out node
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.minor);
    qd_trc_req r = tbdump::make_request(QD_TRC_LINE, c.minor, 0x1234);
    EXPECT_EQ(r.type, QD_TRC_LINE);
    EXPECT_EQ(r.bus, c.bus);
    EXPECT_EQ(r.target, c.target);
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.lanvara, c.lanvara);
    EXPECT_EQ(r.buffer, 0x1234u);
    EXPECT_EQ(r.pad[0] | r.pad[1] | r.pad[2], 0);
  }
}

TEST(TbdumpRequest, Titles) {
  EXPECT_EQ(tbdump::title(tbdump::make_request(QD_TRC_GLOBAL, 0, 1)), "Global Trace Buffer\n\n");
  EXPECT_EQ(tbdump::title(tbdump::make_request(QD_TRC_UNIT, 0x1905, 1)),
            "Unit Trace Buffer: bus 1 target 9\n\n");
  EXPECT_EQ(tbdump::title(tbdump::make_request(QD_TRC_LINE, 0x2c1a, 1)),
            "Line Trace Buffer: bus 2 target 12 line 0x1a\n\n");
}

TEST(TbdumpRequest, RingSizes) {
  EXPECT_EQ(tbdump::ring_size(QD_TRC_GLOBAL), 131072u);
  EXPECT_EQ(tbdump::ring_size(QD_TRC_UNIT), 32768u);
  EXPECT_EQ(tbdump::ring_size(QD_TRC_LINE), 8192u);
  EXPECT_GT(tbdump::kBufferSize, tbdump::ring_size(QD_TRC_GLOBAL));
}

struct Args {
  std::vector<std::string> words;
  std::vector<char*> argv;
  explicit Args(std::vector<std::string> w) : words(std::move(w)) {
    for (auto& s : words) {
      argv.push_back(s.data());
    }
    argv.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words.size()); }
};

TEST(TbdumpOptions, InOrderAndTheLastDecides) {
  Args a({"tbdump", "-u", "/dev/qmx/ttyc10", "-g", "-l/dev/qmx/ttyc11"});
  auto c = tbdump::parse_options(a.argc(), a.argv.data());
  ASSERT_TRUE(c);
  ASSERT_EQ(c->size(), 3u);
  EXPECT_EQ((*c)[0].type, QD_TRC_UNIT);
  EXPECT_STREQ((*c)[0].port, "/dev/qmx/ttyc10");
  EXPECT_EQ((*c)[1].type, QD_TRC_GLOBAL);
  EXPECT_EQ((*c)[1].port, nullptr);
  EXPECT_EQ((*c)[2].type, QD_TRC_LINE);
  EXPECT_STREQ((*c)[2].port, "/dev/qmx/ttyc11");
}

TEST(TbdumpOptions, Refusals) {
  for (auto words : std::vector<std::vector<std::string>>{
           {"tbdump", "-x"}, {"tbdump", "-u"}, {"tbdump", "-g", "-l"}}) {
    Args a(words);
    EXPECT_FALSE(tbdump::parse_options(a.argc(), a.argv.data())) << words.back();
  }
  Args none({"tbdump", "port"});
  auto c = tbdump::parse_options(none.argc(), none.argv.data());
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->empty()) << "a word that is no option ends them";
}

} // namespace
