// Sending an image: select, the question, and blocks of at most 128 bytes in order.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "firmware_file.h"
#include "tool_doubles.h"
#include "unit_channel.h"

namespace kvscsi::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Download : public ::testing::Test {
protected:
  // A temporary file holding `n` bytes of a pattern.
  FilePtr file(std::size_t n) {
    FilePtr f(std::tmpfile());
    EXPECT_NE(f, nullptr);
    for (std::size_t i = 0; i < n; ++i) {
      std::fputc(static_cast<int>(i * 7 % 251), f.get());
    }
    std::rewind(f.get());
    return f;
  }
  // (length, offset) of every data block sent, checking its bytes against the pattern.
  std::vector<std::pair<unsigned, unsigned>> blocks() {
    std::vector<std::pair<unsigned, unsigned>> v;
    for (const qd_scsi_cmd& sb : port.scsi()) {
      if (sb.cdb[0] != 0x3B || sb.cdb[2] != 2) {
        continue;
      }
      const unsigned off = sb.cdb[3] << 16 | sb.cdb[4] << 8 | sb.cdb[5];
      const unsigned len = sb.cdb[6] << 16 | sb.cdb[7] << 8 | sb.cdb[8];
      EXPECT_EQ(sb.data_len, len);
      EXPECT_EQ(sb.flags, QD_SCSI_DATA_OUT);
      for (unsigned i = 0; i < len; ++i) {
        EXPECT_EQ(sb.data[i], (off + i) * 7 % 251) << "byte " << off + i;
      }
      v.emplace_back(len, off);
    }
    return v;
  }
  int run(std::size_t file_size, std::uint64_t size, std::uint8_t mask = 0) {
    const FilePtr f = file(file_size);
    return ch.download(unit, f.get(), mask, size);
  }

  ScriptConsole con;
  ScriptPort port;
  UnitChannel ch{port, con};
  const kv_dev unit{.bus = 0, .target = 2, .product = "ZW-200"};
};

TEST_F(Download, ThreeHundredBytesGoAsThreeBlocks) {
  con.input = {""};
  EXPECT_EQ(run(300, 300, 0x28), kDownloaded);
  const auto sent = port.scsi();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(Bytes(sent[0].cdb, sent[0].cdb + 10),
            (Bytes{0x3B, 5, 1, 0x28, 0, 0, 0, 0x01, 0x2C, 0x80}));
  EXPECT_EQ(blocks(),
            (std::vector<std::pair<unsigned, unsigned>>{{128, 0}, {128, 0x80}, {44, 0x100}}));
  EXPECT_EQ(con.stdout_text, "\nSelecting unit...\n"
                             "\nReady to download. Continue? ([y]/n) "
                             "\n\n*** KVUPDATE - update firmware in flash EEPROM ***\n\n"
                             "\n\nErasing EEPROM...\n\n"
                             "Programming...\n\n");
  EXPECT_EQ(con.clears, 1);
  EXPECT_EQ(con.pauses, std::vector<unsigned>{1});
}

TEST_F(Download, Outcomes) {
  struct Row {
    const char* name;
    std::size_t file_size;
    std::uint64_t size;
    std::vector<std::string> answers;
    std::vector<Reply> replies;
    int result;
    std::size_t blocks;
    const char* says;
  };
  const std::vector<Row> rows = {
      {"answer no", 300, 300, {"n"}, {}, kNotProgrammed, 0, "Continue? ([y]/n) "},
      {"end of input", 300, 300, {}, {}, kNotProgrammed, 0, "Continue? ([y]/n) "},
      {"answer yes", 128, 128, {"Yes"}, {}, kDownloaded, 1, "Programming...\n\n"},
      {"empty image", 0, 0, {"y"}, {}, kDownloaded, 0, "Erasing EEPROM...\n\n"},
      {"select refused",
       300,
       300,
       {"y"},
       {Reply{.tran = QD_SCSI_BADPKT}},
       kNotProgrammed,
       0,
       "format\n\nCouldn't select unit\n"},
      {"first block refused",
       300,
       300,
       {"y"},
       {Reply::good(), Reply{.reason = 1}},
       kIncomplete,
       1,
       "pkt_reason = 1\nCouldn't download at offset 0x0\n"},
      {"second block refused",
       300,
       300,
       {"y"},
       {Reply::good(), Reply::good(), Reply{.reason = 1}},
       kIncomplete,
       2,
       "pkt_reason = 1\nCouldn't download at offset 0x80\n"},
      {"file shorter than its size",
       200,
       300,
       {"y"},
       {},
       kIncomplete,
       1,
       "Programming...\n\nError reading from data file\n"},
      {"file empty",
       0,
       300,
       {"y"},
       {},
       kNotProgrammed,
       0,
       "Erasing EEPROM...\n\nError reading from data file\n"},
      {"too large for 24 bits", 10, 1u << 24, {"y"}, {}, kNotProgrammed, 0, "(16 MiB or more)\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    con = ScriptConsole{};
    con.input.assign(r.answers.begin(), r.answers.end());
    port.sent.clear();
    port.replies.assign(r.replies.begin(), r.replies.end());
    EXPECT_EQ(run(r.file_size, r.size), r.result);
    EXPECT_EQ(blocks().size(), r.blocks);
    EXPECT_TRUE(con.stdout_text.ends_with(r.says)) << con.stdout_text;
  }
  EXPECT_TRUE(port.sent.empty()) << "an image past 24 bits is refused before the unit is touched";
}

} // namespace
} // namespace kvscsi::test
