// Buffers named by 32-bit addresses. The addresses come from the top quarter of the 32-bit
// space, which a 64-bit process does not normally map, so they do not meet the addresses of
// ioctl arguments; each buffer is followed by a gap, so a copy that runs past its end fails.
#include <algorithm>
#include <cerrno>
#include <vector>

#include "handles.h"
#include "qdev/qdev.h"
#include "qdev/wire.h"

namespace qdev {
namespace {

constexpr std::uint64_t kFirst = 0xC0000000u;
constexpr std::uint64_t kEnd = 0x100000000u;
constexpr std::uint64_t kGrain = 0x10000u; // spacing and the gap after each buffer

static_assert(static_cast<std::uint32_t>(BufferUse::kToDriver) == wire::kRegionIn &&
              static_cast<std::uint32_t>(BufferUse::kFromDriver) == wire::kRegionOut);

struct Entry {
  std::uint64_t base;
  std::uint64_t span; // the buffer rounded up, plus the gap
  void* buf;
  std::size_t len;
  BufferUse use;
};

std::vector<Entry>& entries() { // sorted by base
  static std::vector<Entry> e;
  return e;
}

} // namespace

std::uint32_t register_buffer(void* buf, std::size_t len, BufferUse use) {
  if (buf == nullptr || len == 0 || len > wire::kMaxRegionBytes) {
    errno = EINVAL;
    return 0;
  }
  const std::uint64_t span = (len + kGrain - 1) / kGrain * kGrain + kGrain;
  auto& e = entries();
  std::uint64_t base = kFirst;
  auto it = e.begin();
  for (; it != e.end(); ++it) {
    if (it->base - base >= span) {
      break;
    }
    base = it->base + it->span;
  }
  if (kEnd - base < span) {
    errno = ENOMEM;
    return 0;
  }
  e.insert(it, Entry{base, span, buf, len, use});
  return static_cast<std::uint32_t>(base);
}

int unregister_buffer(std::uint32_t handle) {
  auto& e = entries();
  auto it = std::find_if(e.begin(), e.end(), [&](const Entry& x) { return x.base == handle; });
  if (it == e.end()) {
    errno = EINVAL;
    return -1;
  }
  e.erase(it);
  return 0;
}

namespace detail {

bool add_registered(Areas& areas) {
  for (const Entry& x : entries()) {
    if (areas.size() == areas.capacity()) {
      return false;
    }
    areas.push_back({x.base, x.buf, x.len, static_cast<std::uint32_t>(x.use)});
  }
  return true;
}

} // namespace detail
} // namespace qdev
