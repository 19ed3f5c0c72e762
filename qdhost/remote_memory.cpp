#include "remote_memory.h"

#include <cerrno>
#include <cstring>
#include <iterator>

#include "qdev/wire.h"

namespace qdhost {

namespace wire = qdev::wire;

bool RemoteMemory::parse(std::uint32_t count, std::span<const std::byte> payload) {
  regions_.clear();
  const std::size_t table = std::size_t{count} * sizeof(wire::Region);
  if (count > wire::kMaxRegions || payload.size() < table) {
    return false;
  }
  std::size_t data = table;
  std::size_t total = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    wire::Region r{};
    std::memcpy(&r, payload.data() + i * sizeof r, sizeof r);
    total += r.len;
    if (total > wire::kMaxRegionBytes || r.addr + r.len < r.addr) {
      return false;
    }
    Region& reg = regions_.emplace_back();
    reg.addr = r.addr;
    reg.flags = r.flags;
    reg.bytes.resize(r.len);
    if ((r.flags & wire::kRegionIn) != 0) {
      if (payload.size() - data < r.len) {
        return false;
      }
      // An empty region has no storage to copy into.
      if (r.len != 0) {
        std::memcpy(reg.bytes.data(), payload.data() + data, r.len);
      }
      data += r.len;
    }
  }
  return data == payload.size();
}

RemoteMemory::Region* RemoteMemory::find(std::uintptr_t uaddr, std::size_t n, std::uint32_t need) {
  for (Region& r : regions_) {
    if ((r.flags & need) == need && uaddr >= r.addr && n <= r.bytes.size() &&
        uaddr - r.addr <= r.bytes.size() - n) {
      return &r;
    }
  }
  return nullptr;
}

int RemoteMemory::copyin(std::uintptr_t uaddr, void* dst, std::size_t n) {
  if (n == 0) {
    return 0;
  }
  Region* r = find(uaddr, n, 0);
  if (r == nullptr) {
    return EFAULT;
  }
  const std::size_t start = uaddr - r->addr;
  if ((r->flags & wire::kRegionIn) == 0) {
    // Bytes the program did not send can still be read back once the driver wrote them.
    auto it = r->dirty.upper_bound(start);
    if (it == r->dirty.begin() || std::prev(it)->second < start + n) {
      return EFAULT;
    }
  }
  std::memcpy(dst, r->bytes.data() + start, n);
  return 0;
}

int RemoteMemory::copyout(const void* src, std::uintptr_t uaddr, std::size_t n) {
  if (n == 0) {
    return 0;
  }
  Region* r = find(uaddr, n, wire::kRegionOut);
  if (r == nullptr) {
    return EFAULT;
  }
  std::size_t start = uaddr - r->addr;
  std::size_t end = start + n;
  std::memcpy(r->bytes.data() + start, src, n);
  // Merge with every range it touches.
  auto it = r->dirty.upper_bound(start);
  if (it != r->dirty.begin() && std::prev(it)->second >= start) {
    --it;
  }
  while (it != r->dirty.end() && it->first <= end) {
    start = std::min(start, it->first);
    end = std::max(end, it->second);
    it = r->dirty.erase(it);
  }
  r->dirty.emplace(start, end);
  return 0;
}

std::vector<std::byte> RemoteMemory::writes(std::uint32_t* count) const {
  std::size_t ranges = 0;
  for (const Region& r : regions_) {
    ranges += r.dirty.size();
  }
  // Too scattered: one range per region, from its first to its last byte written.
  const bool collapse = ranges > wire::kMaxWrites;
  std::vector<wire::Write> table;
  std::vector<std::byte> data;
  auto add = [&](const Region& r, std::size_t start, std::size_t end) {
    table.push_back({r.addr + start, static_cast<std::uint32_t>(end - start), 0});
    data.insert(data.end(), r.bytes.begin() + static_cast<std::ptrdiff_t>(start),
                r.bytes.begin() + static_cast<std::ptrdiff_t>(end));
  };
  for (const Region& r : regions_) {
    if (r.dirty.empty()) {
      continue;
    }
    if (collapse) {
      add(r, r.dirty.begin()->first, std::prev(r.dirty.end())->second);
    } else {
      for (const auto& [start, end] : r.dirty) {
        add(r, start, end);
      }
    }
  }
  *count = static_cast<std::uint32_t>(table.size());
  std::vector<std::byte> out(table.size() * sizeof(wire::Write));
  if (!table.empty()) {
    std::memcpy(out.data(), table.data(), out.size());
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

} // namespace qdhost
