// Terminal settings and modem bits of a port node on the System V records. This file must
// not include the host's <termios.h> (qdev/tty.h says why).
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "served.h"

#include "qdev/qdev.h"
#include "qdev/tty.h"
#include "qdhost/loop_codes.h"

namespace {

namespace loop = qdhost::loop;

class Tty : public hosttest::Served {
protected:
  void SetUp() override {
    Served::SetUp();
    fd_ = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR | O_NDELAY);
    ASSERT_GE(fd_, 0) << std::strerror(errno);
  }
  void TearDown() override {
    EXPECT_EQ(qdev::close(fd_), 0);
    Served::TearDown();
  }
  int fd_ = -1;
};

TEST_F(Tty, SettingsRoundTrip) {
  termios t{};
  ASSERT_EQ(qdev::tcgetattr(fd_, &t), 0);
  EXPECT_EQ(qdev::cfgetospeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & CSIZE, CS8);

  for (int action : {qdev::TCSANOW, qdev::TCSADRAIN, qdev::TCSAFLUSH}) {
    SCOPED_TRACE(action);
    termios want = t;
    ASSERT_EQ(qdev::cfsetospeed(&want, B115200), 0);
    ASSERT_EQ(qdev::cfsetispeed(&want, B0), 0);
    want.c_iflag = IXON | IXOFF;
    want.c_cflag |= CRTSCTS;
    want.c_cc[VSTART] = CSTART;
    want.c_cc[VSTOP] = CSTOP;
    ASSERT_EQ(qdev::tcsetattr(fd_, action, &want), 0);
    termios got{};
    ASSERT_EQ(qdev::tcgetattr(fd_, &got), 0);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0);
    EXPECT_EQ(qdev::cfgetospeed(&got), B115200);
    EXPECT_NE(got.c_cflag & CBAUDEXT, 0u);
  }
  EXPECT_EQ(qdev::tcsetattr(fd_, 12345, &t), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Tty, ModemBitsAndLineControl) {
  int bits = 0;
  ASSERT_EQ(qdev::get_modem(fd_, &bits), 0);
  EXPECT_EQ(bits, TIOCM_DTR | TIOCM_RTS);
  ASSERT_EQ(qdev::set_modem(fd_, TIOCM_RTS), 0);
  ASSERT_EQ(qdev::get_modem(fd_, &bits), 0);
  EXPECT_EQ(bits, TIOCM_RTS);
  EXPECT_EQ(qdev::tcsendbreak(fd_, 0), 0);
  EXPECT_EQ(qdev::tcflush(fd_, TCIOFLUSH), 0);
  EXPECT_EQ(qdev::tcflush(fd_, 7), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Tty, FlushDropsQueuedInput) {
  ASSERT_EQ(qdev::fcntl(fd_, F_SETFL, 0), 0);
  ASSERT_EQ(qdev::write(fd_, "stale", 5), 5);
  ASSERT_EQ(qdev::tcflush(fd_, TCIFLUSH), 0);
  ASSERT_EQ(qdev::fcntl(fd_, F_SETFL, O_NDELAY), 0);
  char buf[8];
  EXPECT_EQ(qdev::read(fd_, buf, sizeof buf), 0) << "nothing left to read";
}

} // namespace
