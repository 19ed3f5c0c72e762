// Speeds in the System V termios record. This file must not include the host's <termios.h>.
#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

#include "qdev/tty.h"

namespace {

TEST(TtySpeed, EveryCodeRoundTrips) {
  for (speed_t s = B0; s <= B460800; ++s) {
    SCOPED_TRACE(s);
    termios t{};
    t.c_cflag = CS8 | CREAD | CLOCAL;
    ASSERT_EQ(qdev::cfsetospeed(&t, s), 0);
    ASSERT_EQ(qdev::cfsetispeed(&t, s == B0 ? B0 : B460800 - s), 0);
    EXPECT_EQ(qdev::cfgetospeed(&t), s);
    EXPECT_EQ(qdev::cfgetispeed(&t), s == B0 ? B0 : B460800 - s);
    EXPECT_EQ((t.c_cflag & CBAUDEXT) != 0, s > B38400);
    EXPECT_EQ(t.c_cflag & (CSIZE | CREAD | CLOCAL), CS8 | CREAD | CLOCAL) << "other bits kept";
  }
  // Changing a speed clears the old one, extension included.
  termios t{};
  qdev::cfsetospeed(&t, B460800);
  qdev::cfsetospeed(&t, B9600);
  EXPECT_EQ(t.c_cflag, B9600);
}

TEST(TtySpeed, Refusals) {
  termios t{};
  t.c_cflag = B9600;
  EXPECT_EQ(qdev::cfsetospeed(&t, B460800 + 1), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(qdev::cfsetispeed(&t, 99), -1);
  EXPECT_EQ(t.c_cflag, B9600) << "unchanged";
  // Only nodes: the host's terminals have their own calls.
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  EXPECT_EQ(qdev::tcgetattr(p[0], &t), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(qdev::tcflush(p[0], TCIFLUSH), -1);
  EXPECT_EQ(errno, ENOTTY);
  ::close(p[0]);
  ::close(p[1]);
}

} // namespace
