// Memory an ioctl exposes to the driver, and the table of buffers named by 32-bit
// addresses. Internal to platform/user.
#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/container/static_vector.hpp>

#include "qdev/wire.h"

namespace qdev::detail {

// A range of addresses as the driver sees them (a pointer, or a handle) and where its bytes
// are in this process.
struct Area {
  std::uint64_t addr;
  void* local;
  std::size_t len;
  std::uint32_t use; // wire::kRegionIn / kRegionOut
};

// What one ioctl exposes: a fixed room, so that an ioctl allocates nothing.
using Areas = boost::container::static_vector<Area, wire::kMaxRegions>;

// Appends every registered buffer; false when they do not all fit.
bool add_registered(Areas& areas);

} // namespace qdev::detail
