// The tilde state machine and its commands, on a stand-in port.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "baud_table.h"
#include "capture.h"
#include "fake_port.h"
#include "relay.h"

namespace {

using mevo::Ending;
using mevotest::FakePort;

class Tilde : public ::testing::Test {
protected:
  void SetUp() override { s_.screen_fd = screen_.fd(); }
  // Types the bytes one by one, as the loop hands them over; stops at an ending.
  Ending type(const std::string& keys) {
    for (char c : keys) {
      if (Ending end = relay_.proc_user_char(static_cast<signed char>(c))) {
        return end;
      }
    }
    return {};
  }
  std::string to_port() const {
    return {reinterpret_cast<const char*>(relay_.t_out.data.data()),
            static_cast<std::size_t>(relay_.t_out.count)};
  }
  mevo::Session s_;
  FakePort port_;
  mevotest::Screen screen_;
  mevo::Relay relay_{s_, port_};
};

TEST_F(Tilde, WhatReachesThePortAndWhatEnds) {
  struct Case {
    const char* what;
    std::string keys;
    std::string sent;
    Ending end;
  };
  const Case cases[] = {
      {"plain text", "ab\rcd", "ab\rcd", {}},
      {"tilde dot at line start", "~.", "", 0},
      {"q and x end too, in either case", "~Q", "", 0},
      {"x", "\n~x", "\n", 0},
      {"tilde inside a line is data", "a~.", "a~.", {}},
      {"two tildes send one", "~~x", "~x", {}},
      {"tilde and carriage return", "~\r", "~\r", {}},
      {"tilde and newline, then a command", "~\n~.", "~\n", 0},
      {"after a command the line starts again", "~p~.", "", 0},
      {"a high byte is an ordinary character", "\x80~.", "\x80~.", {}},
      {"the help key sends nothing", "~?x", "x", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    relay_.t_out.clear();
    relay_.state = mevo::TS_LINESTART;
    EXPECT_EQ(type(c.keys), c.end);
    EXPECT_EQ(to_port(), c.sent);
  }
}

TEST_F(Tilde, LineSettingCommands) {
  struct Case {
    std::string keys;
    std::function<void(mevo::Settings&)> change;
    std::string carets;
  };
  const Case cases[] = {
      {"~b", [](mevo::Settings& l) { l.baudrate = 19200; }, " ^^^^^^^^^^\n\r"},
      {"~B", [](mevo::Settings& l) { l.baudrate = 19200; }, " ^^^^^^^^^^\n\r"},
      {"~+", [](mevo::Settings& l) { l.baudrate = 19200; }, " ^^^^^^^^^^\n\r"},
      {"~=", [](mevo::Settings& l) { l.baudrate = 19200; }, " ^^^^^^^^^^\n\r"},
      {"~-", [](mevo::Settings& l) { l.baudrate = 4800; }, "  ^^^^^^^^^\n\r"},
      {"~_", [](mevo::Settings& l) { l.baudrate = 4800; }, "  ^^^^^^^^^\n\r"},
      {"~c", [](mevo::Settings& l) { l.csize = 5; }, std::string(11, ' ') + "^^^\n\r"},
      {"~c~c", [](mevo::Settings& l) { l.csize = 6; }, std::string(11, ' ') + "^^^\n\r"},
      {"~F", [](mevo::Settings& l) { l.cstopb = 1; }, std::string(18, ' ') + "^^^\n\r"},
      {"~p", [](mevo::Settings& l) { l.parity = 1; }, std::string(14, ' ') + "^^^\n\r"},
      {"~p~p", [](mevo::Settings& l) { l.parity = 2; }, std::string(14, ' ') + "^^^^\n\r"},
      {"~p~p~p", [](mevo::Settings& l) { l.parity = 0; }, std::string(14, ' ') + "^^^^\n\r"},
      {"~s", [](mevo::Settings& l) { l.swfc = 0; }, std::string(21, ' ') + "^^^^^^^^\n\r"},
      {"~h", [](mevo::Settings& l) { l.hwfc = 1; }, std::string(30, ' ') + "^^^^^^^\n\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    s_.line = mevo::Settings{};
    port_.applied.clear();
    relay_.state = mevo::TS_LINESTART;
    EXPECT_EQ(type(c.keys), Ending{});
    mevo::Settings want;
    c.change(want);
    EXPECT_EQ(s_.line.baudrate, want.baudrate);
    EXPECT_EQ(s_.line.csize, want.csize);
    EXPECT_EQ(s_.line.parity, want.parity);
    EXPECT_EQ(s_.line.cstopb, want.cstopb);
    EXPECT_EQ(s_.line.swfc, want.swfc);
    EXPECT_EQ(s_.line.hwfc, want.hwfc);
    ASSERT_FALSE(port_.applied.empty());
    EXPECT_EQ(port_.applied.back().line.parity, want.parity) << "applied, not only noted";
    EXPECT_EQ(port_.applied.back().line.csize, want.csize);
    const std::string shown = screen_.take();
    const std::string last = mevo::status_line(want) + c.carets;
    ASSERT_GE(shown.size(), last.size());
    EXPECT_EQ(shown.substr(shown.size() - last.size()), last);
    EXPECT_EQ(to_port(), "");
  }
}

TEST_F(Tilde, ARefusedSettingIsKeptAndShown) {
  port_.refused_rates = {9600};
  EXPECT_EQ(type("~c"), Ending{});
  EXPECT_EQ(s_.line.csize, 5);
  EXPECT_TRUE(port_.applied.empty());
  EXPECT_EQ(screen_.take(), mevo::status_line(s_.line) + std::string(11, ' ') + "^^^\n\r");
}

TEST_F(Tilde, RateStepsPassOverRefusedRows) {
  port_.refused_rates = {19200, 38400};
  EXPECT_EQ(type("~+"), Ending{});
  EXPECT_EQ(s_.line.baudrate, 50) << "without the extension 57600 is skipped too";
  EXPECT_EQ(port_.applied.back().line.baudrate, 50);
  EXPECT_EQ(type("~-"), Ending{});
  EXPECT_EQ(s_.line.baudrate, 460800);
}

TEST_F(Tilde, APortThatRefusesEveryRateKeepsTheOldOne) {
  for (const auto& row : mevo::baudtab) {
    port_.refused_rates.insert(row.rate);
  }
  EXPECT_EQ(type("~+"), Ending{}) << "the repetition ends";
  EXPECT_EQ(s_.line.baudrate, 9600);
}

TEST_F(Tilde, RateStepsWithTheSpeedExtension) {
  s_.baud_exten_supported = 1;
  port_.has_exten = true;
  s_.line.baudrate = 38400;
  EXPECT_EQ(type("~+"), Ending{});
  EXPECT_EQ(s_.line.baudrate, 57600);
  EXPECT_EQ(port_.exten_calls.back(), 1);
  port_.refused_extens = {2};
  EXPECT_EQ(type("~+"), Ending{});
  EXPECT_EQ(s_.line.baudrate, 115200) << "a row the hook refuses is passed over";
  EXPECT_EQ(port_.exten_calls.back(), 3);
}

TEST_F(Tilde, ModemCommandsShowWhatThePortReports) {
  s_.tty_name = "/dev/x";
  ASSERT_EQ(relay_.sign_on(), Ending{});
  const std::string signon = screen_.take();
  EXPECT_EQ(signon.rfind(mevo::banner("/dev/x") + mevo::status_line(s_.line), 0), 0u);
  EXPECT_NE(signon.find("CAR=ON  DTR=ON  RTS=ON  CTS=OFF DSR=OFF"), std::string::npos);
  EXPECT_EQ(signon.substr(signon.size() - 19), "Type ~? for help.\n\r");

  // The first modem command after the sign-on: nothing changed, a caret line of blanks.
  EXPECT_EQ(type("~m"), Ending{});
  EXPECT_EQ(screen_.take(), "\rCAR=ON  DTR=ON  RTS=ON  CTS=OFF DSR=OFF         \r\n" +
                                std::string(48, ' ') + "\n\r");
  EXPECT_EQ(type("~d"), Ending{});
  EXPECT_EQ(port_.modem_sets.back(), mevo::kTiocmRts) << "DTR dropped, RTS kept";
  EXPECT_EQ(screen_.take(), "\rCAR=ON  DTR=OFF RTS=ON  CTS=OFF DSR=OFF         \r\n"
                            "        ^^^^^^^                                 \n\r");
  // The port's own answer counts: a signal it raised by itself is toggled from there.
  port_.modem |= mevo::kTiocmCts;
  EXPECT_EQ(type("~d"), Ending{});
  EXPECT_EQ(screen_.take(), "\rCAR=ON  DTR=ON  RTS=ON  CTS=ON  DSR=OFF         \r\n"
                            "        ^^^^^^          ^^^^^^                  \n\r");
  EXPECT_EQ(type("~R"), Ending{});
  EXPECT_EQ(port_.modem_sets.back(), mevo::kTiocmDtr);
  EXPECT_EQ(s_.mdmsigs, mevo::MS_CAR | mevo::MS_DTR | mevo::MS_CTS);

  port_.modem_fails = true;
  EXPECT_EQ(type("~m"), Ending{1}) << "a modem query that fails ends the program";
  EXPECT_EQ(type("~d"), Ending{1});
}

TEST_F(Tilde, InfoShowsTheBannerAgain) {
  s_.tty_name = "/dev/qmx/ttyc30";
  ASSERT_EQ(relay_.sign_on(), Ending{});
  screen_.take();
  EXPECT_EQ(type("~i"), Ending{});
  const std::string shown = screen_.take();
  EXPECT_EQ(shown.rfind(mevo::banner(s_.tty_name) + mevo::status_line(s_.line), 0), 0u);
  EXPECT_EQ(shown.find("Type ~?"), std::string::npos);
}

TEST_F(Tilde, HelpForUnknownKeys) {
  for (const char* keys : {"~?", "~t", "~a", "~*", "~y", "~{", "~\x01"}) {
    SCOPED_TRACE(keys);
    EXPECT_EQ(type(keys), Ending{});
    EXPECT_EQ(screen_.take(), mevo::kHelpText);
  }
  EXPECT_TRUE(port_.applied.empty());
}

TEST_F(Tilde, BreakAndOutputFlush) {
  EXPECT_EQ(type("~k"), Ending{});
  EXPECT_EQ(port_.breaks, 1);
  EXPECT_EQ(screen_.take(), "");

  type("typed\r~o");
  EXPECT_EQ(port_.flushes, 1);
  EXPECT_EQ(to_port(), "") << "what was typed but not sent is discarded";
  EXPECT_EQ(screen_.take(), "OUTPUT FLUSHED\n\r");

  port_.flush_fails = true;
  port_.break_fails = true;
  mevotest::CapturedStderr err;
  type("more\r~o~k");
  EXPECT_EQ(to_port(), "");
  EXPECT_EQ(screen_.take(), "");
  const std::string text = err.text();
  EXPECT_NE(text.find("TCOFLUSH failed: "), std::string::npos) << text;
  EXPECT_NE(text.find("TCSBRK: "), std::string::npos) << text;
}

TEST_F(Tilde, AFullOutputBufferDropsTheRest) {
  EXPECT_EQ(type(std::string(600, 'a') + "\r~."), Ending{0});
  EXPECT_EQ(relay_.t_out.count, mevo::kIoBufSize);
}

TEST_F(Tilde, UserInputIsConsumedWholeUpToAnEnding) {
  const std::string keys = "ls\r~.more";
  std::copy(keys.begin(), keys.end(), relay_.u_in.data.begin());
  relay_.u_in.count = static_cast<int>(keys.size());
  EXPECT_EQ(relay_.proc_user_input(), Ending{0});
  EXPECT_EQ(relay_.u_in.count, 0);
  EXPECT_EQ(to_port(), "ls\r");
}

} // namespace
