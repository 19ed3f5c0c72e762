#include "alloc_counter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

namespace qdbench {

AllocCounter::AllocCounter(std::string path) : path_(std::move(path)) {
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return;
  }
  if (::ftruncate(fd, static_cast<off_t>(sizeof(std::uint64_t))) == 0) {
    void* p = ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) {
      counter_ = static_cast<std::uint64_t*>(p);
    }
  }
  ::close(fd);
}

AllocCounter::~AllocCounter() {
  if (counter_ != nullptr) {
    ::munmap(counter_, sizeof(std::uint64_t));
  }
}

std::uint64_t AllocCounter::count() const {
  return counter_ == nullptr
             ? 0
             : std::atomic_ref<std::uint64_t>(*counter_).load(std::memory_order_relaxed);
}

} // namespace qdbench
