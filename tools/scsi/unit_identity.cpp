#include "unit_identity.h"

#include <cstring>

namespace kvscsi {
namespace {

constexpr std::size_t kVendorAt = 8;
constexpr std::size_t kProductAt = 16;
constexpr std::size_t kRevisionAt = 32;
constexpr std::size_t kRevisionLength = 4;
constexpr std::size_t kProductMax = 16;

constexpr std::size_t kEntryLength = 24;
constexpr std::size_t kEntries = 8;
constexpr std::size_t kEntryVersionAt = 17;
constexpr std::size_t kPodVersionMax = 6;

const char* chars(std::span<const std::uint8_t> bytes, std::size_t at) {
  return reinterpret_cast<const char*>(bytes.data()) + at;
}

} // namespace

std::string strnwcpy(const char* src, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n && src[i] != '\0' && src[i] != ' '; ++i) {
    s.push_back(src[i]);
  }
  return s;
}

bool evaluate_inquiry(std::span<const std::uint8_t> data, kv_dev& unit) {
  if (data.size() < kRevisionAt + kRevisionLength) {
    return false;
  }
  const char* vendor = chars(data, kVendorAt);
  if (std::memcmp(vendor, "Brannoc", 7) != 0 && std::memcmp(vendor, "OrvaneCo", 8) != 0) {
    return false;
  }
  unit.product = strnwcpy(chars(data, kProductAt), kProductMax);
  unit.version.assign(chars(data, kRevisionAt), kRevisionLength);
  // A NUL among the revision's bytes ends it, as it would end the C string.
  unit.version.resize(std::strlen(unit.version.c_str()));
  unit.pod_capable = unit.product.size() > 3 && unit.product[3] == '2' ? 1 : 0;
  return true;
}

std::vector<kv_dev> pods_of(const kv_dev& main, std::span<const std::uint8_t> inventory) {
  std::vector<kv_dev> pods;
  for (std::size_t k = 1; k < kEntries && (k + 1) * kEntryLength <= inventory.size(); ++k) {
    const std::size_t at = k * kEntryLength;
    if (inventory[at] == 0) {
      continue;
    }
    kv_dev pod;
    pod.bus = main.bus;
    pod.target = main.target;
    pod.pod_capable = 1;
    pod.pod = static_cast<std::uint8_t>(k - 1);
    pod.product = strnwcpy(chars(inventory, at), kProductMax);
    pod.version = strnwcpy(chars(inventory, at + kEntryVersionAt), kPodVersionMax);
    pods.push_back(std::move(pod));
  }
  return pods;
}

} // namespace kvscsi
