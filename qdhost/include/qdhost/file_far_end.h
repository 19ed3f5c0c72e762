// A file at the far end of a port: what the port sends is appended to it, nothing comes
// back. A printer that prints into a file, or a witness for checks of what left a port.
//
// Never blocks: the path is opened and written non-blocking. A FIFO that nobody reads yet is
// held open by qdhost itself, so what the port sends waits in it for a reader. While the
// file takes no more (a full FIFO, a slow device), the port's output is held, as on a line
// held by flow control, and goes on once the file takes more: the descriptor is watched
// where the engine's calls run (the kernel's CPU thread), and nothing is lost. A regular file
// ignores O_NONBLOCK, and a write to it can still wait on the disk (writeback throttling, a
// network file system): a thread of its own writes it, and the port's output is held while
// more than kHoldAt bytes wait. A write that fails for good (a full disk, a FIFO whose reader
// left) loses what it carried.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kemu/host_watch.h"
#include "qdemu/engine_host.h"
#include "qdemu/far_end.h"

namespace qdhost {

class FileFarEnd final : public qdemu::FarEnd,
                         private kemu::HostWatcher,
                         public std::enable_shared_from_this<FileFarEnd> {
public:
  // Opens (creates) the file for appending, served where `host` runs the engine's calls;
  // null with *why set when that fails.
  static std::shared_ptr<FileFarEnd> open(const std::string& path, qdemu::EngineHost& host,
                                          std::string* why);
  ~FileFarEnd() override;
  FileFarEnd(const FileFarEnd&) = delete;
  FileFarEnd& operator=(const FileFarEnd&) = delete;

  const std::string& path() const { return path_; }

  // qdemu::FarEnd
  void attached(qdemu::PortLink& port) override { port_ = &port; }
  void detached() override { port_ = nullptr; }
  void transmit(std::span<const std::uint8_t> bytes) override;
  bool holds_output() const override { return held_; }

  // Bytes lost to a write that failed for good.
  std::uint64_t lost() const { return lost_; }

private:
  // A regular file waits this much in memory before the port's output is held.
  static constexpr std::size_t kHoldAt = 64 * 1024;

  FileFarEnd(qdemu::EngineHost& host, int fd, std::string path)
      : host_(host), fd_(fd), path_(std::move(path)) {}
  void ready(unsigned events) override;
  // Writes what waits, as far as the file takes it; mu_ held. A write that fails for good
  // loses what waits, counted in lost_.
  void flush_locked();
  // A regular file's writer thread: writes what waits until stopping_, then what is left.
  void write_out();
  // The port may send again: told where the engine's calls run.
  void tell_ready();

  qdemu::EngineHost& host_;
  const int fd_;
  const std::string path_;
  qdemu::PortLink* port_ = nullptr; // kernel contexts only
  std::atomic<bool> held_{false};
  std::atomic<std::uint64_t> lost_{0};

  std::mutex mu_;
  std::vector<std::uint8_t> backlog_; // what the file did not take yet
  std::condition_variable more_;      // regular file: backlog_ or stopping_ changed
  bool stopping_ = false;

  std::thread writer_; // a regular file's only

  kemu::HostWatch watch_; // while the file takes no more; last, so that it goes first
};

} // namespace qdhost
