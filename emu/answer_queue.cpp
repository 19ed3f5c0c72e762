#include "qdemu/answer_queue.h"

#include <algorithm>

namespace qdemu {

void AnswerQueue::push(std::vector<std::uint8_t> bytes, Tick ready_at) {
  queue_.push_back({std::move(bytes), ready_at});
}

bool AnswerQueue::ready(Tick now) const {
  return std::any_of(queue_.begin(), queue_.end(),
                     [now](const Entry& e) { return e.ready_at <= now; });
}

std::size_t AnswerQueue::ready_bytes(Tick now) const {
  std::size_t n = 0;
  for (const Entry& e : queue_) {
    if (e.ready_at <= now)
      n += e.bytes.size();
  }
  return n;
}

Tick AnswerQueue::next_ready_after(Tick now) const {
  Tick next = kNever;
  for (const Entry& e : queue_) {
    if (e.ready_at > now)
      next = std::min(next, e.ready_at);
  }
  return next;
}

std::vector<std::uint8_t> AnswerQueue::take(Tick now, std::size_t budget) {
  std::vector<std::uint8_t> out;
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (it->ready_at > now) {
      ++it;
      continue;
    }
    if (it->bytes.size() > budget - out.size())
      break;
    out.insert(out.end(), it->bytes.begin(), it->bytes.end());
    it = queue_.erase(it);
  }
  return out;
}

bool AnswerQueue::note_ready(Tick now) {
  bool fresh = false;
  for (Entry& e : queue_) {
    if (e.ready_at <= now && !e.noted) {
      e.noted = true;
      fresh = true;
    }
  }
  return fresh;
}

} // namespace qdemu
