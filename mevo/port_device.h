// The port as a node of the driver, reached through the programs' device access.
#pragma once

#include <string>

#include "port.h"

namespace mevo {

// Opens the port read-write without waiting for carrier, under a 10-second alarm, then makes
// the descriptor block. Returns the descriptor, or -1 after perror(path). An open that hangs
// prints "Timed out: port busy or another process is blocked in open.\n" on standard output
// and ends the program with status 1.
int open_tty(const std::string& path, unsigned seconds = 10);

class DevicePort : public Port {
public:
  explicit DevicePort(int fd) : fd_(fd) {}
  ~DevicePort() override;
  DevicePort(const DevicePort&) = delete;
  DevicePort& operator=(const DevicePort&) = delete;

  int fd() const override { return fd_; }
  ssize_t read(void* buf, std::size_t n) override;
  ssize_t write(const void* buf, std::size_t n) override;
  Applied apply(const Settings& line, int speed) override;
  int read_settings(PortReading* out) override;
  int get_modem(int* tiocm) override;
  int set_modem(int tiocm) override;
  int send_break() override;
  int flush_output() override;
  // No speed extension exists for the driver's ports: always unavailable.
  int set_baud_exten(int index) override;

private:
  int fd_;
};

} // namespace mevo
