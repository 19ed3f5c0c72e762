// The STREAMS layer's control surface for tests, benchmarks and qdhost: message accounting,
// fault injection, the module registry and the autopush list. The driver never includes this.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ksys/stream.h"
#include "ksys/types.h"

namespace kemu {

// ---- Message accounting ---------------------------------------------------------------------
std::size_t streams_outstanding_blocks();  // message blocks (mblk_t) not yet freed
std::size_t streams_outstanding_buffers(); // data blocks (dblk_t) not yet freed
// allocb calls since the process started, failed ones included (the stream head's own
// allocations are not allocb calls): benchmarks tell from it whether a path allocates.
std::size_t streams_allocb_calls();
// Buffer callbacks arranged by bufcall that have neither run nor been cancelled.
std::size_t streams_pending_bufcalls();

// ---- Fault injection ------------------------------------------------------------------------
// allocb (the driver's calls; the stream head's own allocations never fail).
void fail_allocb_nth(long n);  // the nth allocb from now fails (1: the next one)
void fail_allocb_all(bool on); // every allocb fails until turned off
void fail_bufcall(bool on);    // bufcall returns 0 until turned off
void clear_streams_faults();
long allocb_failures(); // allocb calls failed by injection since the last clear

// ---- Modules --------------------------------------------------------------------------------
// Registers a module by name (at most FMNAMESZ characters) for I_PUSH and autopush. The
// streamtab must outlive its use.
void register_module(std::string_view name, streamtab* tab);
void unregister_module(std::string_view name);
// A module whose put procedures pass every message on; registered as "passthru" from the
// start. Registering it under other names gives more names for the same kind.
streamtab* passthru_streamtab();
void register_passthru_module(std::string_view name);

// ---- Autopush -------------------------------------------------------------------------------
// Modules pushed, first listed lowest, when a device number of major `maj` with a minor in
// [first, last] is opened for the first time. Later entries override earlier ones.
void set_autopush(major_t maj, minor_t first, minor_t last, std::vector<std::string> modules);
void clear_autopush();

// ---- Queue pairs outside a stream -----------------------------------------------------------
// For tests of queue routines: a read/write pair with the given qinits (either may be null),
// water marks taken from each side's module_info. Messages still queued are freed with it.
struct QueuePairDeleter {
  void operator()(QueuePair* qp) const;
};
using QueuePairPtr = std::unique_ptr<QueuePair, QueuePairDeleter>;
QueuePairPtr make_queue_pair(qinit* rinit, qinit* winit);
queue_t* read_queue(QueuePair& qp);
// Joins two pairs as a module above another: upper's write queue feeds lower's, lower's read
// queue feeds upper's.
void link_pairs(QueuePair& upper, QueuePair& lower);

} // namespace kemu
