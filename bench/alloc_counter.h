// The heap allocations of another process, counted by the preloaded shim
// (alloc_count_shim.cpp) into a file this side maps and reads at any moment.
#pragma once

#include <cstdint>
#include <string>

namespace qdbench {

inline constexpr const char kAllocCountFileEnv[] = "QD_ALLOC_COUNT_FILE";

class AllocCounter {
public:
  // Creates the counter file at `path` (zero); ok() says whether it could.
  explicit AllocCounter(std::string path);
  ~AllocCounter();
  AllocCounter(const AllocCounter&) = delete;
  AllocCounter& operator=(const AllocCounter&) = delete;

  bool ok() const { return counter_ != nullptr; }
  const std::string& path() const { return path_; }
  // Allocations the shimmed process has made so far (0 before it started).
  std::uint64_t count() const;

private:
  std::string path_;
  std::uint64_t* counter_ = nullptr;
};

} // namespace qdbench
