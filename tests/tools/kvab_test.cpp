// kvab's switch mask: the state read from the modem bits, the actions, the status lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ksys/termios.h"
#include "kvab/switch_mask.h"

namespace {

using kvab::Action;

TEST(KvabSwitch, StateFromModemBits) {
  struct Case {
    int bits;
    std::uint8_t mask;
  };
  const Case cases[] = {
      {0, 0xF0},                        // 1-4 on A, 5-8 on B
      {TIOCM_DSR, 0x00},                // all on B
      {TIOCM_CTS, 0xFF},                // all on A
      {TIOCM_DSR | TIOCM_CTS, 0x0F},    // 1-4 on B, 5-8 on A
      {~(TIOCM_DSR | TIOCM_CTS), 0xF0}, // other bits are not consulted
      {TIOCM_CAR | TIOCM_RNG | TIOCM_DTR | TIOCM_CTS, 0xFF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kvab::mask_from_modem(c.bits), c.mask) << std::hex << c.bits;
  }
}

TEST(KvabSwitch, Actions) {
  struct Case {
    std::uint8_t start;
    const char* word;
    std::uint8_t mask;
  };
  const Case cases[] = {
      {0x00, "aa", 0xFF}, {0x3C, "alla", 0xFF},  {0xFF, "bb", 0x00}, {0xA5, "allb", 0x00},
      {0x00, "ab", 0xF0}, {0xFF, "ba", 0x0F},    {0x0F, "1a", 0x8F}, {0x0F, "1A", 0x8F},
      {0xFF, "3b", 0xDF}, {0xFF, "3B", 0xDF},    {0x00, "8a", 0x01}, {0xFF, "8bus", 0xFE},
      {0x80, "1a", 0x80}, {0x00, "5axyz", 0x08},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    kvab::Switch s;
    s.mask = c.start;
    EXPECT_EQ(kvab::process_option(c.word, s), Action::kSwitched);
    EXPECT_EQ(s.mask, c.mask);
    EXPECT_EQ(s.write_flag, 1);
  }
}

TEST(KvabSwitch, StatAndUnknownWordsChangeNothing) {
  for (const char* word : {"AA", "Ab", "9a", "0a", "1c", "1", "", "stat ", "STAT", "all"}) {
    kvab::Switch s;
    s.mask = 0x5A;
    EXPECT_EQ(kvab::process_option(word, s), Action::kNotRecognized) << word;
    EXPECT_EQ(s.mask, 0x5A);
    EXPECT_EQ(s.write_flag, 0);
  }
  kvab::Switch s;
  s.mask = 0x5A;
  EXPECT_EQ(kvab::process_option("stat", s), Action::kShow);
  EXPECT_EQ(s.write_flag, 0);
}

TEST(KvabSwitch, ActionsAccumulate) {
  kvab::Switch s;
  s.mask = kvab::mask_from_modem(TIOCM_CTS); // all on A
  for (const char* word : {"3b", "stat", "6b", "6a", "2b"}) {
    kvab::process_option(word, s);
  }
  EXPECT_EQ(s.mask, 0x9F);
  EXPECT_EQ(s.write_flag, 4);
}

TEST(KvabSwitch, StatusLines) {
  EXPECT_EQ(kvab::show_stat(0xFF), "Ports 1-4:\tSCSI A\nPorts 5-8:\tSCSI A\n");
  EXPECT_EQ(kvab::show_stat(0x00), "Ports 1-4:\tSCSI B\nPorts 5-8:\tSCSI B\n");
  // Only port 1's and port 8's bits speak for their halves.
  EXPECT_EQ(kvab::show_stat(0x7E), "Ports 1-4:\tSCSI B\nPorts 5-8:\tSCSI B\n");
  EXPECT_EQ(kvab::show_stat(0x81), "Ports 1-4:\tSCSI A\nPorts 5-8:\tSCSI A\n");
  EXPECT_EQ(kvab::show_stat(0x0F), "Ports 1-4:\tSCSI B\nPorts 5-8:\tSCSI A\n");
}

TEST(KvabSwitch, UsageNamesTheProgram) {
  const std::string u = kvab::usage_text("./kvab");
  EXPECT_EQ(u.rfind("\n\nUsage: ./kvab <device> [<action>]\n\n", 0), 0u);
  EXPECT_NE(u.find("EXAMPLE:\t./kvab /dev/lpqmx0 aa\n\n"), std::string::npos);
  EXPECT_NE(u.find("<action> is one of:\n\n   aa           Switch all ports to SCSI bus A\n"),
            std::string::npos);
}

} // namespace
