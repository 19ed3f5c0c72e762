// Rates, line settings and modem signals as the port is asked for them.
#include <gtest/gtest.h>

#include <string>

#include "baud_table.h"
#include "capture.h"
#include "fake_port.h"
#include "line_control.h"

namespace {

using mevo::Step;
using mevotest::FakePort;

TEST(BaudTable, RateStepsWrapAndSkipWhatCannotBeSet) {
  struct Case {
    int from, direction;
    bool exten;
    int to;
  };
  const Case cases[] = {
      {9600, 1, false, 19200},  {9600, -1, false, 4800},   {50, -1, false, 460800},
      {50, -1, true, 460800},   {460800, 1, false, 50},    {460800, 1, true, 50},
      {38400, 1, false, 50},    {38400, 1, true, 57600},   {57600, -1, true, 38400},
      {76800, -1, true, 57600}, {76800, -1, false, 38400}, {0, 1, false, 50},
      {0, -1, false, 460800},   {12345, 1, true, 50},      {307200, -1, false, 230400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + (c.direction > 0 ? " up" : " down") +
                 (c.exten ? " with the extension" : ""));
    const int row = mevo::stepped_row(c.from, c.direction, c.exten);
    ASSERT_GE(row, 0);
    ASSERT_LT(row, mevo::kEndRow);
    EXPECT_EQ(mevo::baudtab[static_cast<std::size_t>(row)].rate, c.to);
  }
}

class LineControl : public ::testing::Test {
protected:
  void SetUp() override { s_.screen_fd = screen_.fd(); }
  mevo::Session s_;
  FakePort port_;
  mevotest::Screen screen_;
};

TEST_F(LineControl, SettingsReachThePortWithTheRowsSpeedCode) {
  s_.line = {115200, 7, 2, 1, 0, 1};
  ASSERT_EQ(mevo::set_tty_params(s_, port_), Step::kDone);
  ASSERT_EQ(port_.applied.size(), 1u);
  EXPECT_EQ(port_.applied[0].speed, mevo::kSpeedB38400);
  EXPECT_EQ(port_.applied[0].line.csize, 7);
  EXPECT_EQ(port_.applied[0].line.hwfc, 1);
  EXPECT_TRUE(port_.exten_calls.empty()) << "the hook is asked only when it exists";

  s_.baud_exten_supported = 1;
  port_.has_exten = true;
  ASSERT_EQ(mevo::set_tty_params(s_, port_), Step::kDone);
  EXPECT_EQ(port_.exten_calls, std::vector<int>{3});
  port_.refused_extens = {3};
  EXPECT_EQ(mevo::set_tty_params(s_, port_), Step::kRefused);
  EXPECT_EQ(port_.applied.size(), 2u) << "a refused extension applies nothing";
  EXPECT_EQ(screen_.take(), "");
}

TEST_F(LineControl, RefusalsAndFailures) {
  s_.line.baudrate = 12345;
  EXPECT_EQ(mevo::set_tty_params(s_, port_), Step::kRefused);
  EXPECT_EQ(screen_.take(), "Can't set baudrate 12345\n");
  EXPECT_TRUE(port_.applied.empty());

  s_.line.baudrate = 19200;
  port_.refused_rates = {19200};
  EXPECT_EQ(mevo::set_tty_params(s_, port_), Step::kRefused);
  EXPECT_EQ(s_.line.baudrate, 19200) << "the variables keep the refused value";

  port_.get_fails = true;
  mevotest::CapturedStderr err;
  EXPECT_EQ(mevo::set_tty_params(s_, port_), Step::kFailed);
  EXPECT_EQ(err.text().rfind("set_tty_params: tcgetattr: ", 0), 0u) << err.text();
  EXPECT_EQ(screen_.take(), "");
}

TEST_F(LineControl, ModemSignalsFollowTheVariable) {
  port_.modem = mevo::kTiocmCar;
  ASSERT_EQ(mevo::set_modem(s_, port_), Step::kDone);
  EXPECT_EQ(port_.modem_sets, std::vector<int>{mevo::kTiocmDtr | mevo::kTiocmRts});
  EXPECT_EQ(mevo::get_modem(port_), mevo::MS_CAR | mevo::MS_DTR | mevo::MS_RTS);
  port_.modem_fails = true;
  EXPECT_EQ(mevo::set_modem(s_, port_), Step::kFailed);
  EXPECT_EQ(mevo::get_modem(port_), -1);
}

TEST_F(LineControl, OptionIReadsThePortAndWritesNothing) {
  struct Case {
    mevo::PortReading reading;
    int baudrate, swfc, hwfc;
  };
  const Case cases[] = {
      {{12, false, false}, 4800, 0, 0},
      {{15, true, true}, 38400, 1, 1},
      {{18, false, true}, 0, 0, 1}, // an extended code shows as rate 0
  };
  for (const Case& c : cases) {
    port_.reading = c.reading;
    ASSERT_EQ(mevo::take_port_settings(s_, port_), Step::kDone);
    EXPECT_EQ(s_.line.baudrate, c.baudrate);
    EXPECT_EQ(s_.line.swfc, c.swfc);
    EXPECT_EQ(s_.line.hwfc, c.hwfc);
  }
  EXPECT_TRUE(port_.applied.empty());
  EXPECT_TRUE(port_.modem_sets.empty());
  port_.get_fails = true;
  mevotest::CapturedStderr err;
  EXPECT_EQ(mevo::take_port_settings(s_, port_), Step::kFailed);
  EXPECT_NE(err.text().find("set_tty_params: tcgetattr"), std::string::npos);
}

} // namespace
