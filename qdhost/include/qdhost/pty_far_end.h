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
// Threading: no thread of its own. The engine's host watches the master (a KernelEngineHost
// on the real clock: the kernel's CPU thread): what is read there goes to the port as a call
// posted to the host, one delivery outstanding at a time, so a fast typist cannot queue
// without bound; what the port sends (transmit(), from the engine) is written to the master
// at once and the rest when the master takes more. Never blocks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kemu/host_watch.h"
#include "qdemu/engine_host.h"
#include "qdemu/far_end.h"

namespace qdhost {

class PtyFarEnd final : public qdemu::FarEnd,
                        private kemu::HostWatcher,
                        public std::enable_shared_from_this<PtyFarEnd> {
public:
  static constexpr std::size_t kBacklog = 64 * 1024;

  // Opens the pair, served where `host` runs the engine's calls (a host that watches
  // descriptors); null with *why set when that fails.
  static std::shared_ptr<PtyFarEnd> open(qdemu::EngineHost& host, std::string* why);
  ~PtyFarEnd() override;
  PtyFarEnd(const PtyFarEnd&) = delete;
  PtyFarEnd& operator=(const PtyFarEnd&) = delete;

  // The slave's path (/dev/pts/N).
  const std::string& slave_path() const { return slave_path_; }

  // Starts and stops carrying typed bytes to the port. stop() also writes out what is still
  // held for the slave, as far as the slave takes it.
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
  explicit PtyFarEnd(qdemu::EngineHost& host) : host_(host) {}
  void ready(unsigned events) override;
  void deliver();
  // Tells the kernel what the master is waited for now; mu_ held.
  void rewatch_locked();
  void flush_locked();

  qdemu::EngineHost& host_;
  int master_ = -1;
  int slave_hold_ = -1;
  std::string slave_path_;
  qdemu::PortLink* port_ = nullptr; // kernel contexts only
  std::atomic<std::uint64_t> dropped_{0};

  std::mutex mu_;
  std::vector<std::uint8_t> backlog_; // written to the master when it takes more
  std::uint8_t in_[256];              // read from the master, on its way to the port
  std::size_t in_len_ = 0;
  bool delivering_ = false; // in_ is queued for the port
  bool held_ = false;       // the port holds input off: leave it in the pty
  bool started_ = false;
  bool broken_ = false; // the master reported an error: nothing more comes from it

  kemu::HostWatch watch_; // the master; last, so that it goes first
};

} // namespace qdhost
