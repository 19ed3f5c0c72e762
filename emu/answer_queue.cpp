#include "qdemu/answer_queue.h"

#include <algorithm>

namespace qdemu {

namespace {
constexpr std::size_t kKeptRoom = 1040;
} // namespace

void AnswerQueue::push(std::vector<std::uint8_t> bytes, Tick ready_at) {
  queue_.push_back({std::move(bytes), ready_at});
}

void AnswerQueue::push(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data,
                       Tick ready_at) {
  Entry e;
  if (!spare_.empty()) {
    e.bytes = std::move(spare_.back());
    spare_.pop_back();
  }
  // Room for a whole line's answer at once, so that kept buffers stop growing.
  e.bytes.reserve(std::max<std::size_t>(header.size() + data.size(), kKeptRoom));
  e.bytes.assign(header.begin(), header.end());
  e.bytes.insert(e.bytes.end(), data.begin(), data.end());
  e.ready_at = ready_at;
  queue_.push_back(std::move(e));
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
  take_into(now, budget, out);
  return out;
}

void AnswerQueue::take_into(Tick now, std::size_t budget, std::vector<std::uint8_t>& out) {
  constexpr std::size_t kSpares = 1024;
  std::size_t taken = 0;
  bool full = false;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < queue_.size(); ++i) {
    Entry& e = queue_[i];
    if (!full && e.ready_at <= now) {
      if (e.bytes.size() <= budget - taken) {
        out.insert(out.end(), e.bytes.begin(), e.bytes.end());
        taken += e.bytes.size();
        if (spare_.size() < kSpares) {
          e.bytes.clear();
          spare_.push_back(std::move(e.bytes));
        }
        continue;
      }
      full = true; // order is kept: nothing after it goes now
    }
    if (kept != i) {
      queue_[kept] = std::move(e);
    }
    ++kept;
  }
  queue_.resize(kept);
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
