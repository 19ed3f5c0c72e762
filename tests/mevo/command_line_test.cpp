// mevo's command line: options, rate and port, and the refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace {

using mevo::Parsed;
using mevo::Session;

Parsed parse(std::vector<const char*> args, Session& s) {
  args.insert(args.begin(), "mevo");
  return mevo::parse_command_line(args, s);
}

TEST(CommandLine, OptionsSetTheLineAndLaterOnesWin) {
  struct Case {
    std::vector<const char*> args;
    int baudrate, csize, parity, cstopb, swfc, hwfc, init_port;
    std::string port;
  };
  const Case cases[] = {
      {{"/dev/x"}, 9600, 8, 0, 0, 1, 0, 1, "/dev/x"},
      {{"-7", "-E", "-2", "/dev/x"}, 9600, 7, 2, 1, 1, 0, 1, "/dev/x"},
      {{"-7E2hsi", "/dev/x"}, 9600, 7, 2, 1, 0, 1, 0, "/dev/x"},
      {{"-O", "-N", "/dev/x"}, 9600, 8, 0, 0, 1, 0, 1, "/dev/x"},
      {{"-E", "-O", "-5", "-6", "/dev/x"}, 9600, 6, 1, 0, 1, 0, 1, "/dev/x"},
      {{"-2", "-1", "/dev/x"}, 9600, 8, 0, 0, 1, 0, 1, "/dev/x"},
      // -8 takes nothing back: the size set before it stays.
      {{"-5", "-8", "/dev/x"}, 9600, 5, 0, 0, 1, 0, 1, "/dev/x"},
      // Rate and port in either order; a later one of a kind replaces the earlier.
      {{"19200", "/dev/x"}, 19200, 8, 0, 0, 1, 0, 1, "/dev/x"},
      {{"/dev/x", "19200"}, 19200, 8, 0, 0, 1, 0, 1, "/dev/x"},
      {{"/dev/a", "/dev/b"}, 9600, 8, 0, 0, 1, 0, 1, "/dev/b"},
      {{"300", "1200", "/dev/x"}, 1200, 8, 0, 0, 1, 0, 1, "/dev/x"},
      // A path beginning with a digit is a rate: the number at its start.
      {{"/dev/x", "4800baud"}, 4800, 8, 0, 0, 1, 0, 1, "/dev/x"},
      {{"/dev/x", "9ttya"}, 9, 8, 0, 0, 1, 0, 1, "/dev/x"},
      // Options end at the first argument that is not one, or at "--".
      {{"-E", "--", "-O"}, 9600, 8, 2, 0, 1, 0, 1, "-O"},
      {{"/dev/x", "-E"}, 9600, 8, 0, 0, 1, 0, 1, "-E"},
      {{"-"}, 9600, 8, 0, 0, 1, 0, 1, "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Session s;
    ASSERT_EQ(parse(c.args, s), Parsed::kRun);
    EXPECT_EQ(s.line.baudrate, c.baudrate);
    EXPECT_EQ(s.line.csize, c.csize);
    EXPECT_EQ(s.line.parity, c.parity);
    EXPECT_EQ(s.line.cstopb, c.cstopb);
    EXPECT_EQ(s.line.swfc, c.swfc);
    EXPECT_EQ(s.line.hwfc, c.hwfc);
    EXPECT_EQ(s.init_port, c.init_port);
    EXPECT_EQ(s.tty_name, c.port);
  }
}

TEST(CommandLine, Refusals) {
  const std::string longest(mevo::kMaxTtyName, 'p');
  const std::string too_long(mevo::kMaxTtyName + 1, 'p');
  struct Case {
    std::vector<const char*> args;
    Parsed want;
  };
  const Case cases[] = {
      {{}, Parsed::kUsage},
      {{"-x", "/dev/x"}, Parsed::kUsage},
      {{"-Ex", "/dev/x"}, Parsed::kUsage},
      {{"-e", "/dev/x"}, Parsed::kUsage}, // options are case-sensitive
      {{"-E"}, Parsed::kNoPort},
      {{"19200"}, Parsed::kNoPort},
      {{"--"}, Parsed::kNoPort},
      {{too_long.c_str()}, Parsed::kLongName},
      {{"/dev/x", too_long.c_str()}, Parsed::kLongName},
      {{too_long.c_str(), "/dev/x"}, Parsed::kRun},
      {{longest.c_str()}, Parsed::kRun},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Session s;
    EXPECT_EQ(parse(c.args, s), c.want);
  }
}

TEST(CommandLine, AHugeRateIsNotTakenForATableRate) {
  Session s;
  ASSERT_EQ(parse({"4294967296000", "/dev/x"}, s), Parsed::kRun);
  EXPECT_GT(s.line.baudrate, 460800);
}

TEST(CommandLine, UsageTextNamesEveryOption) {
  EXPECT_STREQ(mevo::kUsageLines[0], "usage: mevo [[-125678ENOhsi] [[baudrate]] [port]\n");
  std::string options;
  for (const char* line : mevo::kUsageLines) {
    const std::string l = line;
    ASSERT_EQ(l.back(), '\n');
    if (l.rfind("  -", 0) == 0) {
      options += l[3];
    }
  }
  EXPECT_EQ(options, "125678ENOhsi");
}

} // namespace
