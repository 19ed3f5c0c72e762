// Ioctls on an enabled port through its stream head: immediate ones from a call, those the
// unit must answer from a task of their own.
#pragma once

#include <cstdint>
#include <memory>

#include "ksys/termios.h"
#include "line_fixture.h"

namespace lineio_test {

class PortIoctlFixture : public LineFixture {
protected:
  using Task = kemu::Kernel::Task;
  static constexpr cred_t kUser{100, 100, 100, 100};

  void SetUp() override {
    LineFixture::SetUp();
    lp_ = open_port(0);
    // As the enable leaves it: the unit has the line's parameters.
    locked([&] { qdf_note_termios(lp_); });
    take_commands();
  }

  // An ioctl that is answered without the unit (the call would otherwise run the clock to
  // the ioctl watchdog).
  kemu::IoResult call(int cmd, std::intptr_t arg, const cred_t& cred = kemu::Kernel::root_cred(),
                      unsigned port = 0) {
    kemu::IoResult r;
    EXPECT_TRUE(kernel_.call([&] { r = file(port).ioctl(cmd, arg); }, kemu::Wait::kNoJump, cred));
    kernel_.settle();
    return r;
  }
  template <class T>
  kemu::IoResult call(int cmd, T* arg, const cred_t& cred = kemu::Kernel::root_cred()) {
    return call(cmd, reinterpret_cast<std::intptr_t>(arg), cred);
  }
  // I_STR with a record of len bytes at data; the reply's length lands in *reply_len.
  kemu::IoResult istr(int cmd, void* data, int len, int* reply_len = nullptr,
                      const cred_t& cred = kemu::Kernel::root_cred()) {
    strioctl sio{cmd, -1, len, static_cast<char*>(data)};
    kemu::IoResult r = call(I_STR, &sio, cred);
    if (reply_len != nullptr) {
      *reply_len = sio.ic_len;
    }
    return r;
  }
  // The same from a task of its own, for requests the unit answers.
  std::unique_ptr<Task> start(int cmd, std::intptr_t arg, kemu::IoResult* r) {
    auto task = kernel_.spawn([this, cmd, arg, r] { *r = file(0).ioctl(cmd, arg); });
    kernel_.settle();
    return task;
  }
  template <class T> std::unique_ptr<Task> start(int cmd, T* arg, kemu::IoResult* r) {
    return start(cmd, reinterpret_cast<std::intptr_t>(arg), r);
  }

  static termios with_cflag(tcflag_t cflag) {
    termios t{};
    t.c_cflag = cflag;
    return t;
  }

  // The unit's report of a line's state, answering the status request with that mask
  // (named in byte 4): by default carrier, DSR and CTS on, answering a modem status query.
  static Bytes status_report(unsigned char line, unsigned char status = 0,
                             unsigned char mask = STAT_QUERY_MASK, unsigned char state = 0x07) {
    Bytes a = fas_answer(FAS_STAT_CHG, line, status);
    a[3] = state;
    a[4] = mask;
    return a;
  }

  qd_line* lp_ = nullptr;
};

} // namespace lineio_test
