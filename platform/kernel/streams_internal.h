// What the STREAMS files of the emulated kernel share among themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ksys/stream.h"

namespace kemu {

struct Stream;

// One queue pair with the emulated kernel's bookkeeping. q[0] is the read queue.
struct QueuePair {
  QueuePair() = default;
  QueuePair(const QueuePair&) = delete;
  QueuePair& operator=(const QueuePair&) = delete;
  // A service procedure still scheduled for a freed pair is cancelled.
  ~QueuePair();

  queue_t q[2]{};
  std::uint64_t service_work[2] = {}; // each queue's scheduled service procedure, or 0
  Stream* stream = nullptr;           // the stream it belongs to, if any
  std::string name;                   // module name, for I_LOOK
};

// Fills a fresh pair: qinits, QREADR, water marks from each side's module_info.
void init_queue_pair(QueuePair& qp, qinit* rinit, qinit* winit);
// Frees every message still queued on both queues.
void drain_queue_pair(QueuePair& qp);

// Bytes in all blocks of a message (what q_count counts).
std::size_t msg_bytes(const mblk_t* mp);
// Takes a message off its queue without touching q_count.
void queue_unlink(queue_t* q, mblk_t* mp);
// Lowers q_count; clears QFULL and back-enables once it falls below the low water mark.
void queue_count_sub(queue_t* q, std::size_t n);

// A block of `size` bytes with b_rptr == b_wptr == db_base. injectable: subject to allocb's
// fault injection (the driver's calls); the stream head's own allocations are not.
mblk_t* alloc_block(std::size_t size, bool injectable);

// Back-enabling reached a stream head's write queue: its writers may go on.
void head_write_enabled(queue_t* head_wq);

} // namespace kemu
