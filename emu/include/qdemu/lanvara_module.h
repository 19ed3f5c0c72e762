// A Lanvara module on TCP: a listener on its own loopback address (127.0.0.N, port 10001
// unless told otherwise), serving one connection at a time with a FAS engine (a Lanvara
// row of the model table, its firmware, the unlock exchange required): the unlock and
// inquiry exchange, then the FAS byte stream both ways. FAS_UNIT_RESET sends what is
// queued, closes the connection and restarts the unit; a failed unlock closes it too.
//
// Threading: the socket I/O runs where the EngineHost watches descriptors (the kernel's CPU
// thread, on the real clock: no thread of its own), else on one host thread of its own.
// It never calls the engine itself: every
// engine call (the bytes received, a new connection, with_engine) is posted through the
// EngineHost, which serialises them with the engine's timed work (kernel work on the
// kernel's clock, or a mutex and a manual clock; see engine_host.h). Answers come back
// through the engine's notices into an outbox that the I/O side writes out.
//
// A new connection replaces the one before it, which is closed: the module serves the host
// that connected last. Faults a test can ask for: silence (commands are still carried out,
// nothing is sent), drop (the connection is closed now), split segments (answers go out in
// small pieces, one write each), and per-opcode answer faults (a bad answer in place of the
// real one, a close instead of an answer, silence from that answer on, one answer lost).
//
// Stop the module (or destroy it) before the kernel behind a KernelEngineHost goes.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qdemu/engine_host.h"
#include "qdemu/far_end.h"
#include "qdemu/fas_engine.h"

namespace qdemu {

struct LanvaraOptions {
  std::string address = "127.0.0.2"; // an address in 127.0.0.0/8
  std::uint16_t port = 10001;        // 0: a free port, see port()
  std::string model = "Lanvara8S-115A";
  UnitOptions unit = lanvara_unit_options();

  static UnitOptions lanvara_unit_options() {
    UnitOptions o;
    o.firmware = "V6.0";
    o.require_unlock = true;
    return o;
  }
};

enum class AnswerFault {
  replace,         // these bytes go out in its place
  drop_connection, // these bytes (often none: an answer cut short) go out in its place,
                   // then the connection closes; what was sent before still goes
  go_silent,       // nothing is sent from this answer on, as set_silent(true)
  swallow,         // this answer is lost
};

struct ModuleStats {
  std::uint64_t connections = 0;      // accepted
  bool connected = false;             // a connection is open now
  std::uint64_t closed_by_host = 0;   // the host closed (or reset) the connection
  std::uint64_t closed_by_module = 0; // reset, failed unlock, a drop fault, replaced
  std::uint64_t resets = 0;           // FAS_UNIT_RESET carried out
  std::uint64_t unlock_failures = 0;
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  std::uint64_t writes = 0; // write calls that sent answer bytes
};

class LanvaraModule {
public:
  LanvaraModule(EngineHost& host, LanvaraOptions options = {});
  ~LanvaraModule();
  LanvaraModule(const LanvaraModule&) = delete;
  LanvaraModule& operator=(const LanvaraModule&) = delete;

  // Binds, listens and starts the I/O thread: 0, or an errno (EINVAL for an address
  // outside 127.0.0.0/8 or an unknown model, EADDRINUSE, ...).
  int start();
  // Closes the listener and the connection and joins the I/O thread.
  void stop();
  in_addr_t address() const;  // network order
  std::uint16_t port() const; // host order, once started

  // ---- Faults ----
  void set_silent(bool on);
  void drop();
  // Answers are written in pieces of at most `piece` bytes, one write each (0: whole).
  void set_split(std::size_t piece);
  // The next `times` answers with this opcode (-1: every one) meet the fault.
  void on_answer(std::uint8_t opcode, AnswerFault fault, std::vector<std::uint8_t> bytes = {},
                 int times = 1);
  void clear_faults();

  // ---- The unit ----
  // Runs fn on the engine through the host: at once with a LockedEngineHost, as kernel
  // work (when the kernel next runs) with a KernelEngineHost.
  void with_engine(std::function<void(Engine&)> fn);
  void attach(unsigned line, std::shared_ptr<FarEnd> far_end);

  // ---- Watching ----
  ModuleStats stats() const;
  // Waits until pred holds, re-checked whenever the module's state changes; false when
  // `limit` passed first.
  bool wait_for(const std::function<bool(const ModuleStats&)>& pred,
                std::chrono::milliseconds limit) const;

  struct Shared;
  struct Core;

private:
  // The I/O side: a thread of its own runs run(); with a host that watches descriptors, its
  // callbacks run the on_ functions instead.
  void run();
  bool on_wake(); // false once stopping
  void on_accept();
  void on_conn(unsigned events);
  void close_conn(bool by_module);
  void take_outbox();
  void write_pending();
  void watch_conn();

  EngineHost& host_;
  LanvaraOptions options_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<Core> core_;
  struct Io;
  std::unique_ptr<Io> io_;
};

} // namespace qdemu
