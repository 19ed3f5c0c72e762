// The port's termios as mevo builds it. This file uses the port's System V records and must
// not include the host's <termios.h>.
#include <gtest/gtest.h>

#include "port_termios.h"

namespace {

termios dirty() {
  termios t{};
  t.c_iflag = 0xffffffff;
  t.c_oflag = 0xffffffff;
  t.c_cflag = 0x7fffffff;
  t.c_lflag = 0xffffffff;
  for (cc_t& c : t.c_cc) {
    c = 0x55;
  }
  return t;
}

TEST(PortTermios, OwnedFieldsRebuiltFromTheSettings) {
  struct Case {
    mevo::Settings line;
    tcflag_t size;
    bool parenb, parodd, inpck, cstopb, ixon, crtscts;
  };
  const Case cases[] = {
      {{9600, 8, 0, 0, 1, 0}, CS8, false, false, false, false, true, false},
      {{9600, 7, 1, 0, 0, 0}, CS7, true, true, true, false, false, false},
      {{9600, 6, 2, 1, 1, 1}, CS6, true, false, true, true, true, true},
      {{9600, 5, 0, 1, 0, 1}, CS5, false, false, false, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.csize);
    for (const termios& from : {termios{}, dirty()}) {
      const termios t = mevo::make_port_termios(from, c.line, B19200);
      EXPECT_EQ(t.c_lflag, 0u);
      EXPECT_EQ(t.c_oflag & (OPOST | ONLCR), 0u);
      EXPECT_EQ(t.c_iflag & (IXANY | IUCLC | ICRNL | INLCR | PARMRK | BRKINT), 0u);
      EXPECT_NE(t.c_iflag & IGNBRK, 0u);
      EXPECT_EQ(t.c_cflag & (CREAD | HUPCL | CLOCAL), CREAD | HUPCL | CLOCAL);
      EXPECT_EQ(t.c_cflag & CSIZE, c.size);
      EXPECT_EQ((t.c_cflag & PARENB) != 0, c.parenb);
      EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parodd);
      EXPECT_EQ((t.c_iflag & INPCK) != 0, c.inpck);
      EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
      EXPECT_EQ((t.c_iflag & IXON) != 0, c.ixon);
      EXPECT_EQ((t.c_iflag & IXOFF) != 0, c.ixon);
      EXPECT_EQ(mevo::is_hwfc(t), c.crtscts);
      EXPECT_EQ(qdev::cfgetospeed(&t), B19200);
      EXPECT_EQ(qdev::cfgetispeed(&t), B19200);
      EXPECT_EQ(t.c_cc[VMIN], 1);
      EXPECT_EQ(t.c_cc[VTIME], 1);
      EXPECT_EQ(t.c_cc[VSTART], from.c_cc[VSTART]) << "characters mevo does not own stay";
    }
  }
}

TEST(PortTermios, AnExtendedSpeedIsReplacedNotMixed) {
  termios from{};
  qdev::cfsetospeed(&from, B460800);
  qdev::cfsetispeed(&from, B460800);
  const termios t = mevo::make_port_termios(from, mevo::Settings{}, B9600);
  EXPECT_EQ(qdev::cfgetospeed(&t), B9600);
  EXPECT_EQ(qdev::cfgetispeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & (CBAUDEXT | CIBAUDEXT), 0u);
}

TEST(PortTermios, ReadingForOptionI) {
  termios t{};
  qdev::cfsetospeed(&t, B4800);
  EXPECT_EQ(mevo::reading_of(t).speed, static_cast<int>(B4800));
  EXPECT_FALSE(mevo::reading_of(t).swfc);
  EXPECT_FALSE(mevo::reading_of(t).hwfc);
  t.c_iflag = IXOFF;
  EXPECT_TRUE(mevo::reading_of(t).swfc) << "either flow bit counts";
  t.c_iflag = IXON;
  EXPECT_TRUE(mevo::reading_of(t).swfc);
  mevo::set_hwfc(t);
  EXPECT_TRUE(mevo::reading_of(t).hwfc);
  mevo::clr_hwfc(t);
  EXPECT_FALSE(mevo::is_hwfc(t));
  qdev::cfsetospeed(&t, B115200);
  EXPECT_EQ(mevo::reading_of(t).speed, static_cast<int>(B115200));
}

} // namespace
