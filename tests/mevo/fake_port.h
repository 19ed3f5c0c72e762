// A port for the relay's tests: data over a socket pair (the test holds the far end), line
// settings and modem signals kept in memory, each answer settable.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <vector>

#include "port.h"

namespace mevotest {

class FakePort : public mevo::Port {
public:
  struct Setting {
    mevo::Settings line;
    int speed;
  };

  FakePort() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv_); }
  ~FakePort() override {
    ::close(sv_[0]);
    close_far();
  }
  FakePort(const FakePort&) = delete;
  FakePort& operator=(const FakePort&) = delete;

  // The other end of the line.
  int far() const { return sv_[1]; }
  void close_far() {
    if (sv_[1] >= 0) {
      ::close(sv_[1]);
      sv_[1] = -1;
    }
  }

  int fd() const override { return sv_[0]; }
  ssize_t read(void* buf, std::size_t n) override { return ::read(sv_[0], buf, n); }
  ssize_t write(const void* buf, std::size_t n) override {
    if (write_fails) {
      errno = EIO;
      return -1;
    }
    return ::write(sv_[0], buf, n);
  }
  mevo::Applied apply(const mevo::Settings& line, int speed) override {
    if (get_fails) {
      errno = EIO;
      return mevo::Applied::kGetFailed;
    }
    if (refused_rates.count(line.baudrate) != 0) {
      errno = EINVAL;
      return mevo::Applied::kRefused;
    }
    applied.push_back({line, speed});
    return mevo::Applied::kApplied;
  }
  int read_settings(mevo::PortReading* out) override {
    if (get_fails) {
      errno = EIO;
      return -1;
    }
    *out = reading;
    return 0;
  }
  int get_modem(int* tiocm) override {
    if (modem_fails) {
      errno = EIO;
      return -1;
    }
    *tiocm = modem;
    return 0;
  }
  int set_modem(int tiocm) override {
    if (modem_fails) {
      errno = EIO;
      return -1;
    }
    modem_sets.push_back(tiocm);
    modem = (modem & ~(mevo::kTiocmDtr | mevo::kTiocmRts)) | tiocm;
    return 0;
  }
  int send_break() override {
    ++breaks;
    return break_fails ? (errno = EIO, -1) : 0;
  }
  int flush_output() override {
    ++flushes;
    return flush_fails ? (errno = EIO, -1) : 0;
  }
  int set_baud_exten(int index) override {
    exten_calls.push_back(index);
    return has_exten && refused_extens.count(index) == 0 ? 0 : 1;
  }

  // What the port was asked, and how it answers.
  bool write_fails = false;
  std::vector<Setting> applied;
  std::set<int> refused_rates;
  bool get_fails = false;
  mevo::PortReading reading;
  int modem = mevo::kTiocmDtr | mevo::kTiocmRts | mevo::kTiocmCar;
  bool modem_fails = false;
  std::vector<int> modem_sets;
  int breaks = 0;
  bool break_fails = false;
  int flushes = 0;
  bool flush_fails = false;
  bool has_exten = false;
  std::set<int> refused_extens;
  std::vector<int> exten_calls;

private:
  int sv_[2] = {-1, -1};
};

} // namespace mevotest
