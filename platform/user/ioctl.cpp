// ioctl on nodes: the memory each form exposes to the driver, the request, and the copies
// the driver made, applied on return.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device.h"
#include "handles.h"
#include "host_calls.h"
#include "qdev/qdev.h"

namespace qdev {
namespace {

using detail::Area;
using detail::Areas;
using detail::Busy;
using detail::Device;
using detail::Packet;

int fail(int err) {
  errno = err;
  return -1;
}

// Codes whose numbers mean something else to the host.
bool system_v_code(int cmd) {
  const int family = (cmd >> 8) & 0xff;
  return family == 'T' || family == 't' || family == 'S';
}

bool overlap(const Area& a, const Area& b) {
  return a.addr < b.addr + b.len && b.addr < a.addr + a.len;
}

const Area* area_for(const Areas& areas, std::uint64_t addr, std::uint64_t len) {
  for (const Area& a : areas) {
    if ((a.use & wire::kRegionOut) != 0 && addr >= a.addr && len <= a.len &&
        addr - a.addr <= a.len - len) {
      return &a;
    }
  }
  return nullptr;
}

// Applies the driver's copies; false when one lies outside what was exposed.
bool apply_writes(const Areas& areas, const Packet& res) {
  std::size_t at = 0;
  const std::size_t table = std::size_t{res.h.count} * sizeof(wire::Write);
  if (res.h.count > wire::kMaxWrites || table > res.payload.size()) {
    return false;
  }
  std::size_t data = table;
  for (std::uint32_t i = 0; i < res.h.count; ++i, at += sizeof(wire::Write)) {
    wire::Write w{};
    std::memcpy(&w, res.payload.data() + at, sizeof w);
    const Area* a = area_for(areas, w.addr, w.len);
    if (a == nullptr || res.payload.size() - data < w.len) {
      return false;
    }
    std::memcpy(static_cast<char*>(a->local) + (w.addr - a->addr), res.payload.data() + data,
                w.len);
    data += w.len;
  }
  return true;
}

// Allocates nothing: a signal handler may make the call.
int device_ioctl(Device& d, int cmd, std::intptr_t arg, Areas& areas) {
  if (d.closing) {
    return fail(EBADF);
  }
  if (!detail::add_registered(areas)) {
    return fail(EINVAL);
  }
  std::size_t total = 0;
  for (std::size_t i = 0; i < areas.size(); ++i) {
    total += areas[i].len;
    for (std::size_t j = 0; j < i; ++j) {
      if (overlap(areas[i], areas[j])) {
        return fail(EFAULT); // an argument lies across a registered buffer's addresses
      }
    }
  }
  if (total > wire::kMaxRegionBytes) {
    return fail(EINVAL);
  }
  wire::Region table[wire::kMaxRegions];
  iovec iov[1 + wire::kMaxRegions];
  std::size_t pieces = 1;
  for (std::size_t i = 0; i < areas.size(); ++i) {
    const Area& a = areas[i];
    table[i] = {a.addr, static_cast<std::uint32_t>(a.len), a.use};
    if ((a.use & wire::kRegionIn) != 0 && a.len > 0) {
      iov[pieces++] = {a.local, a.len};
    }
  }
  iov[0] = {table, areas.size() * sizeof(wire::Region)};

  wire::Header h{};
  h.op = static_cast<std::uint32_t>(wire::Op::kIoctl);
  h.a = cmd;
  h.b = arg;
  h.count = static_cast<std::uint32_t>(areas.size());
  Busy busy(d);
  Packet res;
  if (int err = detail::transact(d, h, {iov, pieces}, res); err != 0) {
    return fail(err);
  }
  if (!apply_writes(areas, res)) {
    return fail(EFAULT);
  }
  if (res.h.error != 0) {
    return fail(res.h.error);
  }
  return static_cast<int>(res.h.a);
}

Area arg_area(const void* p, std::size_t len, std::uint32_t use) {
  return {reinterpret_cast<std::uintptr_t>(p), const_cast<void*>(p), len, use};
}

constexpr std::uint32_t kInOut = wire::kRegionIn | wire::kRegionOut;

} // namespace

int ioctl_value(int fd, int cmd, long value) {
  Device* d = detail::lookup(fd);
  if (d == nullptr) {
    return system_v_code(cmd) ? fail(ENOTTY) : detail::host_ioctl_value(fd, cmd, value);
  }
  Areas none;
  return device_ioctl(*d, cmd, value, none);
}

int ioctl(int fd, int cmd, strioctl* s) {
  Device* d = detail::lookup(fd);
  if (d == nullptr) {
    return system_v_code(cmd) ? fail(ENOTTY) : detail::host_ioctl_pointer(fd, cmd, s);
  }
  Areas areas;
  if (s != nullptr) {
    areas.push_back(arg_area(s, sizeof *s, kInOut));
    // Lengths the stream head refuses expose nothing; it answers them itself.
    if (s->ic_dp != nullptr && s->ic_len > 0 &&
        static_cast<std::size_t>(s->ic_len) <= wire::kMaxRegionBytes) {
      areas.push_back(arg_area(s->ic_dp, static_cast<std::size_t>(s->ic_len), kInOut));
    }
  }
  return device_ioctl(*d, cmd, reinterpret_cast<std::intptr_t>(s), areas);
}

int ioctl(int fd, int cmd, const char* text) {
  Device* d = detail::lookup(fd);
  if (d == nullptr) {
    return system_v_code(cmd) ? fail(ENOTTY) : detail::host_ioctl_pointer(fd, cmd, text);
  }
  Areas areas;
  if (text != nullptr) {
    areas.push_back(arg_area(text, std::strlen(text) + 1, wire::kRegionIn));
  }
  return device_ioctl(*d, cmd, reinterpret_cast<std::intptr_t>(text), areas);
}

int ioctl(int fd, int cmd, void* buf, std::size_t len) {
  Device* d = detail::lookup(fd);
  if (d == nullptr) {
    return system_v_code(cmd) ? fail(ENOTTY) : detail::host_ioctl_pointer(fd, cmd, buf);
  }
  Areas areas;
  if (buf != nullptr && len > 0) {
    areas.push_back(arg_area(buf, len, kInOut));
  }
  return device_ioctl(*d, cmd, reinterpret_cast<std::intptr_t>(buf), areas);
}

int ioctl(int fd, int cmd, const void* buf, std::size_t len) {
  Device* d = detail::lookup(fd);
  if (d == nullptr) {
    return system_v_code(cmd) ? fail(ENOTTY) : detail::host_ioctl_pointer(fd, cmd, buf);
  }
  Areas areas;
  if (buf != nullptr && len > 0) {
    areas.push_back(arg_area(buf, len, wire::kRegionIn));
  }
  return device_ioctl(*d, cmd, reinterpret_cast<std::intptr_t>(buf), areas);
}

} // namespace qdev
