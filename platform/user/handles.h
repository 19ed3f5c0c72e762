// Memory an ioctl exposes to the driver, and the table of buffers named by 32-bit
// addresses. Internal to platform/user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qdev::detail {

// A range of addresses as the driver sees them (a pointer, or a handle) and where its bytes
// are in this process.
struct Area {
  std::uint64_t addr;
  void* local;
  std::size_t len;
  std::uint32_t use; // wire::kRegionIn / kRegionOut
};

// Appends every registered buffer.
void add_registered(std::vector<Area>& areas);

} // namespace qdev::detail
