// What mevo needs of its port. The program uses a node of the driver (DevicePort); tests put
// a stand-in over a socket pair in its place.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "settings.h"

namespace mevo {

// What the port answered to new line settings.
enum class Applied {
  kApplied,
  kRefused,   // EINVAL: the port does not take this combination
  kGetFailed, // reading the current settings failed (errno set)
  kSetFailed, // applying them failed otherwise (errno set)
};

// The port's own settings, as option -i takes them over.
struct PortReading {
  int speed = 0; // output speed code
  bool swfc = false;
  bool hwfc = false;
};

class Port {
public:
  virtual ~Port() = default;
  // A descriptor that select() reports readable when a read would not block.
  virtual int fd() const = 0;
  virtual ssize_t read(void* buf, std::size_t n) = 0;
  virtual ssize_t write(const void* buf, std::size_t n) = 0;
  // Rebuilds the port's termios from line with the speed code `speed` and applies it at
  // once.
  virtual Applied apply(const Settings& line, int speed) = 0;
  // 0, or -1 with errno.
  virtual int read_settings(PortReading* out) = 0;
  // Modem ioctl words; 0, or -1 with errno.
  virtual int get_modem(int* tiocm) = 0;
  virtual int set_modem(int tiocm) = 0;
  virtual int send_break() = 0;
  // Discards output not yet sent.
  virtual int flush_output() = 0;
  // The speed extension hook: applies the extension index and answers 0, or answers
  // nonzero when the port has no speed extension.
  virtual int set_baud_exten(int index) = 0;
};

} // namespace mevo
