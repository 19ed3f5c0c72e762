// Byte buffers for the node server's requests and replies, from size-class free lists, so
// that the data path does not call the heap once traffic has warmed the lists up. Each
// buffer is sized to what it holds (the next power of two); a class keeps at most
// kKeepBytes of free buffers, the rest goes back to the heap. Not thread-safe: the node
// server uses it on the kernel's CPU thread only. Internal to the node server.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace qdhost {

class BytePool;

// A buffer from the pool; goes back to it when dropped.
class Bytes {
public:
  Bytes() = default;
  Bytes(Bytes&& o) noexcept { *this = std::move(o); }
  Bytes& operator=(Bytes&& o) noexcept;
  ~Bytes() { reset(); }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;

  std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<std::byte> span() const { return {data_, size_}; }
  void reset();

private:
  friend class BytePool;
  BytePool* pool_ = nullptr;
  std::byte* data_ = nullptr;
  std::size_t size_ = 0; // what it holds; its capacity is its class's
  unsigned cls_ = 0;
};

class BytePool {
public:
  static constexpr std::size_t kSmallest = 64;
  static constexpr std::size_t kClasses = 15; // 64 bytes to 1 MiB
  static constexpr std::size_t kKeepBytes = 2 << 20;

  BytePool() = default;
  ~BytePool();
  BytePool(const BytePool&) = delete;
  BytePool& operator=(const BytePool&) = delete;

  // A buffer of n bytes (contents undefined); empty for n 0.
  Bytes take(std::size_t n);
  // One holding a copy of bytes.
  Bytes copy(std::span<const std::byte> bytes);
  // Buffers that went to the heap since the pool was made (a benchmark's and a test's view).
  std::size_t heap_calls() const { return heap_calls_; }

private:
  friend class Bytes;
  void give(std::byte* p, unsigned cls);
  std::array<std::vector<std::byte*>, kClasses> free_;
  std::size_t heap_calls_ = 0;
};

} // namespace qdhost
