// The select() loop between the keyboard, the screen and the port.
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "exit_signals.h"
#include "relay.h"

namespace mevo {
namespace {

// Writes what buf holds from pos on; -1 with errno on failure. Emptied once all is written.
ssize_t drain(io_buf& buf, auto&& write_fn) {
  const ssize_t n =
      write_fn(buf.data.data() + buf.pos, static_cast<std::size_t>(buf.count - buf.pos));
  if (n > 0) {
    buf.pos += static_cast<int>(n);
    if (buf.pos >= buf.count) {
      buf.clear();
    }
  }
  return n;
}

} // namespace

int Relay::loop() {
  const int out = s_.screen_fd;
  const int tty = port_.fd();
  for (;;) {
    if (int sig = pending_exit_signal(); sig != 0) {
      return sig;
    }
    fd_set rd, wr;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    int top = -1;
    auto watch = [&top](int fd, fd_set& set) {
      FD_SET(fd, &set);
      top = std::max(top, fd);
    };
    if (keyboard_open_) {
      watch(in_, rd);
    }
    if (t_in.count == 0) {
      watch(tty, rd);
    }
    if (const int wake = exit_signal_fd(); wake >= 0) {
      watch(wake, rd);
    }
    if (u_out.count != 0) {
      watch(out, wr);
    }
    if (t_out.count != 0) {
      watch(tty, wr);
    }
    timeval timeout{1, 0};
    const int ready = ::select(top + 1, &rd, &wr, nullptr, &timeout);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      std::perror("select failed");
      return 1;
    }
    if (ready == 0) {
      // Idle: a port that has gone away shows here even while nobody sends anything.
      if (get_modem(port_) < 0) {
        return 1;
      }
      continue;
    }

    if (keyboard_open_ && FD_ISSET(in_, &rd)) {
      const ssize_t n = ::read(in_, u_in.data.data(), kReadChunk);
      if (n < 0 && errno != EINTR) {
        std::perror("read from user");
        return 1;
      }
      if (n == 0) {
        // End of the keyboard: what was typed still goes to the port, then we leave.
        keyboard_open_ = false;
      } else if (n > 0) {
        u_in.count = static_cast<int>(n);
        u_in.pos = 0;
      }
    }
    if (FD_ISSET(out, &wr)) {
      const ssize_t n =
          drain(u_out, [out](const void* p, std::size_t len) { return ::write(out, p, len); });
      if (n < 0 && errno != EINTR) {
        std::perror("write to user output failed");
        return 1;
      }
    }
    if (t_in.count == 0 && FD_ISSET(tty, &rd)) {
      const ssize_t n = port_.read(t_in.data.data(), kReadChunk);
      if (n == 0 || (n < 0 && errno != EINTR)) {
        return 1; // hung up or failed
      }
      if (n > 0) {
        t_in.count = static_cast<int>(n);
        t_in.pos = 0;
      }
    }
    if (t_out.count != 0 && FD_ISSET(tty, &wr)) {
      const ssize_t n =
          drain(t_out, [this](const void* p, std::size_t len) { return port_.write(p, len); });
      if (n < 0 && errno != EINTR) {
        return 1;
      }
    }
    if (t_in.count != 0 && u_out.count == 0) {
      std::memcpy(u_out.data.data(), t_in.data.data(), static_cast<std::size_t>(t_in.count));
      u_out.count = t_in.count;
      u_out.pos = 0;
      t_in.clear();
    }
    if (Ending end = proc_user_input()) {
      return *end;
    }
    if (!keyboard_open_ && t_out.count == 0) {
      return 0;
    }
  }
}

} // namespace mevo
