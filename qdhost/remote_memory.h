// The memory of a program on the far side of a node's socket, as one ioctl request exposes
// it: the regions it declared, with the bytes of those it sent. The driver's copies are
// served from and into these copies; the ranges it wrote go back with the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "kemu/usermem.h"

namespace qdhost {

class RemoteMemory final : public kemu::UserMemory {
public:
  // Takes the region table and bytes of an ioctl request; false when they do not add up.
  bool parse(std::uint32_t count, std::span<const std::byte> payload);
  int copyin(std::uintptr_t uaddr, void* dst, std::size_t n) override;
  int copyout(const void* src, std::uintptr_t uaddr, std::size_t n) override;
  // Write records and their bytes for the result; *count is the number of records.
  std::vector<std::byte> writes(std::uint32_t* count) const;

private:
  struct Region {
    std::uint64_t addr;
    std::uint32_t flags;
    std::vector<std::byte> bytes;
    std::map<std::size_t, std::size_t> dirty; // start -> end, merged, not touching
  };
  Region* find(std::uintptr_t uaddr, std::size_t n, std::uint32_t need);
  std::vector<Region> regions_;
};

} // namespace qdhost
