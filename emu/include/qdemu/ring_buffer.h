// A FIFO on a ring that grows by doubling and never shrinks: a unit's line buffers churn
// through it byte by byte without calling the heap once they have reached their size.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace qdemu {

template <class T> class RingBuffer {
public:
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  T& front() { return buf_[head_]; }
  const T& front() const { return buf_[head_]; }
  T& back() { return buf_[wrap(head_ + count_ - 1)]; }
  const T& operator[](std::size_t i) const { return buf_[wrap(head_ + i)]; }
  void pop_front() {
    buf_[head_] = T{}; // lets go of what it held, keeping the room
    head_ = wrap(head_ + 1);
    --count_;
  }
  // Drops the first n; they must be there.
  void drop_front(std::size_t n) {
    if constexpr (!std::is_trivially_copyable_v<T>) {
      for (std::size_t i = 0; i < n; ++i) {
        buf_[wrap(head_ + i)] = T{};
      }
    }
    head_ = count_ == n ? 0 : wrap(head_ + n);
    count_ -= n;
  }
  void push_back(T v) {
    if (count_ == buf_.size()) {
      grow();
    }
    buf_[wrap(head_ + count_)] = std::move(v);
    ++count_;
  }
  void clear() {
    while (!empty()) {
      pop_front();
    }
    head_ = 0;
  }

private:
  std::size_t wrap(std::size_t i) const { return i & (buf_.size() - 1); }
  void grow() {
    std::vector<T> next(buf_.empty() ? 16 : buf_.size() * 2);
    for (std::size_t i = 0; i < count_; ++i) {
      next[i] = std::move(buf_[wrap(head_ + i)]);
    }
    buf_ = std::move(next);
    head_ = 0;
  }
  std::vector<T> buf_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

} // namespace qdemu
