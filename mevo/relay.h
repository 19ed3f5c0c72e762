// The relay between the user's terminal and the port: one select() loop over four buffers,
// and the tilde commands typed at the start of a line.
#pragma once

#include <array>
#include <optional>

#include "line_control.h"
#include "port.h"
#include "screen_text.h"
#include "settings.h"

namespace mevo {

inline constexpr int kIoBufSize = 512;
// The most read from either side at once.
inline constexpr int kReadChunk = 64;

struct io_buf {
  int count = 0; // bytes held
  int pos = 0;   // bytes already consumed or written
  std::array<unsigned char, kIoBufSize> data{};
  void clear() { count = pos = 0; }
};

enum TildeState { TS_MIDLINE = 0, TS_LINESTART = 1, TS_TILDE = 2 };

// The program must end, with this exit status.
using Ending = std::optional<int>;

class Relay {
public:
  // Keyboard on user_in; the screen is session.screen_fd.
  Relay(Session& session, Port& port, int user_in = 0);

  // Banner, status line, modem line and the hint, before the loop starts.
  Ending sign_on();
  // Relays until the program must end; answers its exit status: 0 when the user leaves (or
  // the keyboard reaches its end and what was typed has gone to the port), 1 on failures,
  // the signal's number when one of the exit signals arrives.
  int loop();

  // The tilde machine: every byte of u_in, then u_in emptied.
  Ending proc_user_input();
  Ending proc_user_char(signed char c);
  Ending proc_tilde_cmd(char c);
  // One rate step up (+1) or down (-1), applied.
  Step next_baud(int direction);

  void tout_putc(unsigned char c);

  io_buf u_in, t_out, t_in, u_out;
  int state = TS_LINESTART;

private:
  Ending rate_command(int direction);
  Ending setting_changed(char key);
  Ending show_modem();
  Ending show_info();
  void show_tty_params();
  void write_string(const std::string& text);

  Session& s_;
  Port& port_;
  int in_;
  bool keyboard_open_ = true;
  ModemMemory memory_;
};

} // namespace mevo
