// Answers waiting to leave a unit. Each is a whole FAS item (header and data) that becomes
// ready at a tick; they leave oldest first and are never split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "qdemu/clock.h"

namespace qdemu {

class AnswerQueue {
public:
  void push(std::vector<std::uint8_t> bytes, Tick ready_at);
  // The same, built from a header and its data in a buffer the queue had kept.
  void push(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data,
            Tick ready_at);
  // An answer is ready at `now`.
  bool ready(Tick now) const;
  // Bytes of the answers ready at `now`.
  std::size_t ready_bytes(Tick now) const;
  // Earliest tick after `now` at which a held-back answer becomes ready; kNever if none.
  Tick next_ready_after(Tick now) const;
  // Ready answers in the order they were made, while each whole answer still fits in what
  // is left of `budget`; stops at the first one that does not fit, so order is kept.
  std::vector<std::uint8_t> take(Tick now, std::size_t budget);
  // The same, appended to `out`.
  void take_into(Tick now, std::size_t budget, std::vector<std::uint8_t>& out);
  // True when an answer has become ready at `now` since the last call.
  bool note_ready(Tick now);
  void clear() { queue_.clear(); }
  bool empty() const { return queue_.empty(); }

private:
  struct Entry {
    std::vector<std::uint8_t> bytes;
    Tick ready_at = 0;
    bool noted = false;
  };
  std::vector<Entry> queue_;                     // oldest first
  std::vector<std::vector<std::uint8_t>> spare_; // buffers of answers gone, for the next ones
};

} // namespace qdemu
