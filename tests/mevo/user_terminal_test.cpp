// The user's terminal made raw and put back, on a pseudo-terminal. This file uses the host's
// <termios.h> and must not include the port's records.
#include <gtest/gtest.h>
#include <termios.h>

#include "capture.h"
#include "pty_pair.h"
#include "user_terminal.h"

namespace {

TEST(UserTerminal, RawWhileRunningThenAsBefore) {
  mevotest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  termios before{};
  ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);
  before.c_lflag |= ICANON | ECHO | ISIG;
  before.c_oflag |= OPOST | ONLCR;
  before.c_iflag |= ICRNL | INLCR | IXON;
  ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &before), 0);
  ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);

  mevo::UserTerminal user(pty.slave());
  EXPECT_FALSE(user.user_setup_saved());
  ASSERT_EQ(user.save_user_params(), 0);
  EXPECT_TRUE(user.user_setup_saved());
  ASSERT_EQ(user.set_user_params(), 0);

  termios raw{};
  ASSERT_EQ(::tcgetattr(pty.slave(), &raw), 0);
  EXPECT_EQ(raw.c_lflag, 0u) << "interrupt and quit characters reach the port as data";
  EXPECT_EQ(raw.c_oflag & OPOST, 0u);
  EXPECT_EQ(raw.c_iflag & (ICRNL | INLCR), 0u);
  EXPECT_NE(raw.c_iflag & IXON, 0u) << "what mevo does not own stays";
  EXPECT_EQ(raw.c_cc[VMIN], 1);
  EXPECT_EQ(raw.c_cc[VTIME], 1);

  ASSERT_EQ(user.restore_user_params(), 0);
  termios after{};
  ASSERT_EQ(::tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST(UserTerminal, NotATerminal) {
  mevotest::Screen pipe;
  mevo::UserTerminal user(pipe.fd());
  mevotest::CapturedStderr err;
  EXPECT_EQ(user.save_user_params(), -1);
  EXPECT_FALSE(user.user_setup_saved());
  EXPECT_EQ(user.set_user_params(), -1);
  const std::string text = err.text();
  EXPECT_EQ(text.rfind("save_user_params: tcgetattr: ", 0), 0u) << text;
  EXPECT_NE(text.find("set_user_params: tcgetattr: "), std::string::npos) << text;
}

} // namespace
