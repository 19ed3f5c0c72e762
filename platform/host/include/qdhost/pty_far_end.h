// A pseudo-terminal at the far end of a port, so that a person with a terminal program
// (picocom, screen) or a test can sit at the other end of the cable: what the port sends
// appears on the slave side, and what is written on the slave side enters the port.
//
// The master belongs to qdhost, which also keeps the slave open itself, set raw: so the
// pair never hangs up when the terminal program leaves, and nothing is echoed back into the
// port. The consequence: what the port sends while no terminal program reads stays in the
// slave's input queue (the next program to open it sees it) until that is full; beyond
// that, and beyond kBacklog bytes more held here, it is lost, as on a cable with no one at
// the other end. Modem inputs are set by whoever builds the port, not from the pty.
//
// Like a device that honours RTS/CTS, it stops reading the master while the port holds its
// input off by hardware flow control, so what is pasted waits in the pty instead of
// overflowing the port. Without that flow control an overflow is lost, as on a real line.
//
// Threading: transmit() comes from the engine (a kernel context) and never blocks. One host
// thread reads the master and hands what it reads to the port through `post`, which must
// run its function where the engine may be entered (Kernel::interrupt); one delivery is
// outstanding at a time, so a fast typist cannot queue without bound.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qdemu/far_end.h"

namespace qdhost {

class PtyFarEnd final : public qdemu::FarEnd, public std::enable_shared_from_this<PtyFarEnd> {
public:
  using Post = std::function<void(std::function<void()>)>;
  static constexpr std::size_t kBacklog = 64 * 1024;

  // Opens the pair; null with *why set when that fails.
  static std::shared_ptr<PtyFarEnd> open(Post post, std::string* why);
  ~PtyFarEnd() override;
  PtyFarEnd(const PtyFarEnd&) = delete;
  PtyFarEnd& operator=(const PtyFarEnd&) = delete;

  // The slave's path (/dev/pts/N).
  const std::string& slave_path() const { return slave_path_; }

  // Starts and stops the thread that carries typed bytes to the port. stop() also writes
  // out what is still held for the slave, as far as the slave takes it.
  void start();
  void stop();

  // qdemu::FarEnd
  void attached(qdemu::PortLink& port) override { port_ = &port; }
  void detached() override { port_ = nullptr; }
  void transmit(std::span<const std::uint8_t> bytes) override;
  void hold_off(bool held) override;

  // Bytes lost because nothing took them.
  std::uint64_t dropped() const { return dropped_; }

private:
  explicit PtyFarEnd(Post post) : post_(std::move(post)) {}
  void run();
  void flush_locked();
  void wake();

  Post post_;
  int master_ = -1;
  int slave_hold_ = -1;
  int wake_fd_ = -1;
  std::string slave_path_;
  qdemu::PortLink* port_ = nullptr; // kernel contexts only

  std::mutex mu_;
  std::vector<std::uint8_t> backlog_; // written to the master when it takes more
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<bool> delivering_{false};
  std::atomic<bool> held_{false}; // the port holds input off: leave it in the pty
  std::atomic<bool> stopping_{false};
  std::thread io_;
};

} // namespace qdhost
