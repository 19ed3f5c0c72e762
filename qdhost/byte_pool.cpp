#include "byte_pool.h"

#include <bit>
#include <cstring>
#include <new>
#include <utility>

namespace qdhost {

namespace {

std::size_t class_size(unsigned cls) {
  return BytePool::kSmallest << cls;
}

} // namespace

Bytes& Bytes::operator=(Bytes&& o) noexcept {
  if (this != &o) {
    reset();
    pool_ = std::exchange(o.pool_, nullptr);
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    cls_ = o.cls_;
  }
  return *this;
}

void Bytes::reset() {
  if (data_ != nullptr) {
    pool_->give(data_, cls_);
  }
  pool_ = nullptr;
  data_ = nullptr;
  size_ = 0;
}

BytePool::~BytePool() {
  for (auto& list : free_) {
    for (std::byte* p : list) {
      ::operator delete(p);
    }
  }
}

Bytes BytePool::take(std::size_t n) {
  Bytes b;
  if (n == 0) {
    return b;
  }
  const std::size_t units = (n + kSmallest - 1) / kSmallest;
  const auto cls = static_cast<unsigned>(std::bit_width(units - 1));
  if (cls >= kClasses) {
    throw std::bad_alloc(); // larger than any packet
  }
  auto& list = free_[cls];
  if (!list.empty()) {
    b.data_ = list.back();
    list.pop_back();
  } else {
    b.data_ = static_cast<std::byte*>(::operator new(class_size(cls)));
    ++heap_calls_;
  }
  b.pool_ = this;
  b.size_ = n;
  b.cls_ = cls;
  return b;
}

Bytes BytePool::copy(std::span<const std::byte> bytes) {
  Bytes b = take(bytes.size());
  if (!bytes.empty()) {
    std::memcpy(b.data(), bytes.data(), bytes.size());
  }
  return b;
}

void BytePool::give(std::byte* p, unsigned cls) {
  auto& list = free_[cls];
  if ((list.size() + 1) * class_size(cls) <= kKeepBytes || list.size() < 4) {
    list.push_back(p);
  } else {
    ::operator delete(p);
  }
}

} // namespace qdhost
