// The screen's texts: status line columns, caret lines, modem line and its changes, banner.
#include <gtest/gtest.h>

#include <string>

#include "screen_text.h"

namespace {

using mevo::Settings;

TEST(StatusLine, FieldsInTheirColumns) {
  Settings s;
  EXPECT_EQ(mevo::status_line(s), "\r  9600 BAUD 8 NONE 1 SWFC=ON  HWFC=OFF           \r\n");
  s = {460800, 5, 1, 1, 0, 1};
  const std::string line = mevo::status_line(s);
  EXPECT_EQ(line, "\r460800 BAUD 5 ODD  2 SWFC=OFF HWFC=ON            \r\n");
  // Columns counted after the carriage return.
  const std::string cols = line.substr(1);
  EXPECT_EQ(cols.substr(6, 5), " BAUD");
  EXPECT_EQ(cols[12], '5');
  EXPECT_EQ(cols.substr(14, 4), "ODD ");
  EXPECT_EQ(cols[19], '2');
  EXPECT_EQ(cols.substr(21, 8), "SWFC=OFF");
  EXPECT_EQ(cols.substr(30, 8), "HWFC=ON ");
  s.parity = 2;
  s.baudrate = 0;
  EXPECT_EQ(mevo::status_line(s).substr(1, 18), "     0 BAUD 5 EVEN");
}

// Each caret line stands under the field its command changed.
TEST(CaretLine, UnderTheChangedField) {
  struct Case {
    char key;
    Settings line;
    int blanks, carets;
  };
  const Case cases[] = {
      {'+', {9600, 8, 0, 0, 1, 0}, 2, 9},
      {'-', {460800, 8, 0, 0, 1, 0}, 0, 11},
      {'b', {50, 8, 0, 0, 1, 0}, 4, 7},
      {'=', {0, 8, 0, 0, 1, 0}, 6, 5},
      {'_', {115200, 8, 0, 0, 1, 0}, 0, 11},
      {'c', {}, 11, 3},
      {'f', {}, 18, 3},
      {'p', {9600, 8, 1, 0, 1, 0}, 14, 3},
      {'p', {9600, 8, 2, 0, 1, 0}, 14, 4},
      {'p', {9600, 8, 0, 0, 1, 0}, 14, 4},
      {'s', {9600, 8, 0, 0, 1, 0}, 21, 7},
      {'s', {9600, 8, 0, 0, 0, 0}, 21, 8},
      {'h', {9600, 8, 0, 0, 1, 1}, 30, 7},
      {'h', {9600, 8, 0, 0, 1, 0}, 30, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.key) + " at " + std::to_string(c.line.baudrate));
    const std::string want = std::string(static_cast<std::size_t>(c.blanks), ' ') +
                             std::string(static_cast<std::size_t>(c.carets), '^') + "\n\r";
    EXPECT_EQ(mevo::caret_line(c.key, c.line), want);
    // The carets stand under the field in the status line, not under blanks alone.
    const std::string under = mevo::status_line(c.line).substr(
        1 + static_cast<std::size_t>(c.blanks), static_cast<std::size_t>(c.carets));
    EXPECT_NE(under.find_first_not_of(' '), std::string::npos) << under;
  }
  EXPECT_EQ(mevo::caret_line('m', Settings{}), "");
}

TEST(ModemDisplay, FirstShowsNoCaretsThenMarksWhatChanged) {
  mevo::ModemMemory memory;
  const int start = mevo::MS_CAR | mevo::MS_DTR | mevo::MS_RTS;
  EXPECT_EQ(mevo::modem_display(start, memory),
            "\rCAR=ON  DTR=ON  RTS=ON  CTS=OFF DSR=OFF         \r\n");

  const std::string line = "\rCAR=ON  DTR=ON  RTS=ON  CTS=OFF DSR=OFF         \r\n";
  EXPECT_EQ(mevo::modem_display(start, memory), line + std::string(40, ' ') + "        \n\r")
      << "nothing changed: a caret line of blanks";

  const int later = mevo::MS_CAR | mevo::MS_RTS | mevo::MS_CTS;
  EXPECT_EQ(mevo::modem_display(later, memory),
            "\rCAR=ON  DTR=OFF RTS=ON  CTS=ON  DSR=OFF         \r\n"
            "        ^^^^^^^         ^^^^^^                  \n\r");
  EXPECT_EQ(memory.last_mdm, later);
}

TEST(Banner, DashesCentreShortPortNames) {
  // " MEVO --- port=/dev/x " is 22 characters: (40 - 22) / 2 = 9 dashes each side.
  EXPECT_EQ(mevo::banner("/dev/x"), "\n\r--------- MEVO --- port=/dev/x ---------\a\n\r");
  const std::string name38(22, 'n'), name39(23, 'n'), name40(24, 'n');
  EXPECT_EQ(mevo::banner(name38), "\n\r- MEVO --- port=" + name38 + " -\a\n\r");
  EXPECT_EQ(mevo::banner(name39), "\n\r MEVO --- port=" + name39 + " \a\n\r")
      << "no dash to spare, but still short: the bell rings";
  EXPECT_EQ(mevo::banner(name40), "\n\r MEVO --- port=" + name40 + " \n\r");
}

} // namespace
