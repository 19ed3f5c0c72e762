// The tilde state machine and its commands.
#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "baud_table.h"
#include "relay.h"

namespace mevo {
namespace {

constexpr unsigned char kCr = 13;
constexpr unsigned char kLf = 10;
constexpr unsigned char kTilde = 126;

} // namespace

Relay::Relay(Session& session, Port& port, int user_in) : s_(session), port_(port), in_(user_in) {}

void Relay::tout_putc(unsigned char c) {
  if (t_out.count < kIoBufSize) {
    t_out.data[static_cast<std::size_t>(t_out.count++)] = c;
  }
}

void Relay::write_string(const std::string& text) {
  ssize_t ignored = ::write(s_.screen_fd, text.data(), text.size());
  (void)ignored;
}

Ending Relay::proc_user_input() {
  Ending end;
  for (int i = 0; i < u_in.count && !end; ++i) {
    end = proc_user_char(static_cast<signed char>(u_in.data[static_cast<std::size_t>(i)]));
  }
  u_in.clear();
  return end;
}

Ending Relay::proc_user_char(signed char c) {
  const auto byte = static_cast<unsigned char>(c);
  const bool eol = byte == kCr || byte == kLf;
  switch (state) {
  case TS_MIDLINE:
    tout_putc(byte);
    state = eol ? TS_LINESTART : TS_MIDLINE;
    return {};
  case TS_LINESTART:
    if (byte == kTilde) {
      state = TS_TILDE;
      return {};
    }
    tout_putc(byte);
    state = eol ? TS_LINESTART : TS_MIDLINE;
    return {};
  default: // TS_TILDE
    if (eol) {
      tout_putc(kTilde);
      tout_putc(byte);
      state = TS_LINESTART;
      return {};
    }
    if (byte == kTilde) {
      tout_putc(kTilde);
      state = TS_MIDLINE;
      return {};
    }
    state = TS_LINESTART;
    return proc_tilde_cmd(static_cast<char>(c));
  }
}

Step Relay::next_baud(int direction) {
  const int row = stepped_row(s_.line.baudrate, direction, s_.baud_exten_supported != 0);
  s_.line.baudrate = baudtab[static_cast<std::size_t>(row)].rate;
  return set_tty_params(s_, port_);
}

Ending Relay::rate_command(int direction) {
  const int before = s_.line.baudrate;
  Step step = Step::kRefused;
  // Rows the port refuses are passed over, but one turn of the table at most: a port that
  // refuses every rate keeps the one it had.
  for (int tries = 0; tries < kEndRow && step == Step::kRefused; ++tries) {
    step = next_baud(direction);
  }
  if (step == Step::kRefused) {
    s_.line.baudrate = before;
    step = set_tty_params(s_, port_);
  }
  if (step == Step::kFailed) {
    return 1;
  }
  return setting_changed(direction > 0 ? '+' : '-');
}

void Relay::show_tty_params() {
  write_string(status_line(s_.line));
}

Ending Relay::setting_changed(char key) {
  show_tty_params();
  write_string(caret_line(key, s_.line));
  return {};
}

Ending Relay::show_modem() {
  const int bits = get_modem(port_);
  if (bits < 0) {
    return 1;
  }
  s_.mdmsigs = bits;
  write_string(modem_display(bits, memory_));
  return {};
}

Ending Relay::show_info() {
  write_string(banner(s_.tty_name));
  show_tty_params();
  return show_modem();
}

Ending Relay::sign_on() {
  if (Ending end = show_info()) {
    return end;
  }
  write_string(kSignOnHint);
  return {};
}

Ending Relay::proc_tilde_cmd(char c) {
  const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // A line setting: applied, then shown whatever the port answered.
  auto apply = [&](char k) -> Ending {
    if (set_tty_params(s_, port_) == Step::kFailed) {
      return 1;
    }
    return setting_changed(k);
  };
  auto toggle_modem = [&](int bit) -> Ending {
    s_.mdmsigs ^= bit;
    if (set_modem(s_, port_) == Step::kFailed) {
      return 1;
    }
    return show_modem();
  };
  switch (key) {
  case '+':
  case '=':
  case 'b':
  case '-':
  case '_':
    return rate_command(c == '-' || c == '_' ? -1 : 1);
  case 'c':
    s_.line.csize = s_.line.csize + 1 > 8 ? 5 : s_.line.csize + 1;
    return apply(key);
  case 'd':
    return toggle_modem(MS_DTR);
  case 'f':
    s_.line.cstopb = s_.line.cstopb != 0 ? 0 : 1;
    return apply(key);
  case 'h':
    s_.line.hwfc = s_.line.hwfc != 0 ? 0 : 1;
    return apply(key);
  case 'i':
    return show_info();
  case 'k':
    if (port_.send_break() != 0) {
      std::perror("TCSBRK");
    }
    return {};
  case 'm':
    return show_modem();
  case 'o':
    t_out.clear();
    if (port_.flush_output() != 0) {
      std::perror("TCOFLUSH failed");
    } else {
      t_out.clear();
      write_string(kOutputFlushed);
    }
    return {};
  case 'p':
    s_.line.parity = (s_.line.parity + 1) % 3;
    return apply(key);
  case 'r':
    return toggle_modem(MS_RTS);
  case 's':
    s_.line.swfc = s_.line.swfc != 0 ? 0 : 1;
    return apply(key);
  case '.':
  case 'q':
  case 'x':
    return 0;
  default:
    write_string(kHelpText);
    return {};
  }
}

} // namespace mevo
