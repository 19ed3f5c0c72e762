#include "qdemu/flash_programmer.h"

#include <algorithm>
#include <cstring>

#include "ksys/scsi_codes.h"
#include "qdemu/scsi_reply.h"

namespace qdemu {

namespace {

constexpr std::size_t kHeaderBytes = 128;

bool is_digit(std::uint8_t c) {
  return c >= '0' && c <= '9';
}

void put_text(std::uint8_t* field, std::size_t width, std::string_view text, std::uint8_t pad) {
  std::memset(field, pad, width);
  std::memcpy(field, text.data(), std::min(text.size(), width));
}

constexpr Refusal kIllegal{KEY_ILLEGAL_REQUEST, asc::kBadCdbField};
constexpr Refusal kVendor{KEY_VENDOR_UNIQUE, asc::kVendor};

} // namespace

std::optional<std::string> image_version(std::span<const std::uint8_t> image) {
  const bool doubled =
      image.size() >= 6 && image[0] == image[1] && image[2] == image[3] && image[4] == image[5];
  std::vector<std::uint8_t> header;
  for (std::size_t i = 0; i < kHeaderBytes; ++i) {
    const std::size_t at = doubled ? 2 * i : i;
    if (at >= image.size()) {
      break;
    }
    header.push_back(image[at]);
  }
  for (std::size_t i = 0; i + 3 < header.size(); ++i) {
    if (header[i] == 'V' && is_digit(header[i + 1]) && header[i + 2] == '.') {
      return std::string(header.begin() + static_cast<std::ptrdiff_t>(i),
                         header.begin() + static_cast<std::ptrdiff_t>(i + 4));
    }
  }
  return std::nullopt;
}

FlashProgrammer::FlashProgrammer(std::string product, std::string version, std::uint8_t pods_fitted,
                                 std::string pod_product, std::string pod_version)
    : product_(std::move(product)), pod_product_(std::move(pod_product)),
      pods_fitted_(pods_fitted & 0x7f) {
  versions_.fill(pod_version);
  versions_[0] = std::move(version);
}

bool FlashProgrammer::fitted(unsigned unit) const {
  return unit == 0 || (unit < kFlashUnits && ((pods_fitted_ >> (unit - 1)) & 1u) != 0);
}

std::vector<unsigned> FlashProgrammer::units_of(std::uint8_t mask) {
  if (mask == 0) {
    return {0};
  }
  std::vector<unsigned> units;
  for (unsigned pod = 0; pod < kFlashUnits - 1; ++pod) {
    if (((mask >> pod) & 1u) != 0) {
      units.push_back(pod + 1);
    }
  }
  return units;
}

void FlashProgrammer::flag(const Image& image, std::uint16_t bits) {
  for (unsigned u : units_of(image.mask)) {
    conditions_[u] |= bits;
  }
}

std::optional<Refusal> FlashProgrammer::enter_mode() {
  in_mode_ = true;
  return std::nullopt;
}

std::optional<Refusal> FlashProgrammer::select(std::uint8_t mask, std::uint32_t size,
                                               std::uint8_t pods_online) {
  if (!in_mode_ || (mask & 0x80) != 0) {
    return kIllegal;
  }
  // "All pods" (0x7f) names the pods that are fitted.
  std::vector<unsigned> units = units_of(mask);
  std::erase_if(units, [this](unsigned u) { return !fitted(u); });
  if (units.empty()) {
    return kIllegal;
  }
  if (mask != 0) {
    mask = 0;
    for (unsigned u : units) {
      mask = static_cast<std::uint8_t>(mask | 1u << (u - 1));
    }
  }
  for (unsigned u : units) {
    conditions_[u] = 0;
  }
  bool lost = false;
  for (unsigned u : units) {
    if (u > 0 && ((pods_online >> (u - 1)) & 1u) == 0) {
      conditions_[u] |= vendor_bit::kLostCommunication;
      lost = true;
    }
  }
  if (lost) {
    return kVendor;
  }
  if (current_ && current_->complete()) {
    kept_.push_back(std::move(*current_));
  }
  current_ = Image{mask, size, {}};
  current_->bytes.reserve(size);
  return std::nullopt;
}

std::optional<Refusal> FlashProgrammer::data(std::uint32_t offset, std::uint32_t length,
                                             std::span<const std::uint8_t> bytes) {
  if (!in_mode_ || !current_ || length == 0 || length != bytes.size()) {
    return kIllegal;
  }
  Image& image = *current_;
  if (offset != image.bytes.size()) {
    flag(image, vendor_bit::kSequenceError);
    return kVendor;
  }
  if (length > image.size - image.bytes.size()) {
    return kIllegal;
  }
  image.bytes.insert(image.bytes.end(), bytes.begin(), bytes.end());
  return std::nullopt;
}

std::optional<Refusal> FlashProgrammer::load() {
  if (current_ && current_->bytes.empty() && !current_->complete()) {
    current_.reset(); // nothing of it came: nothing to complain of
  }
  if (current_) {
    if (!current_->complete()) {
      flag(*current_, vendor_bit::kIncompleteData | vendor_bit::kOriginalData);
      current_.reset();
      return kVendor;
    }
    kept_.push_back(std::move(*current_));
    current_.reset();
  }
  // All or nothing: an image without a version is dropped (to be sent again), and the
  // others wait with it.
  const std::size_t before = kept_.size();
  std::erase_if(kept_, [this](const Image& image) {
    if (image.bytes.empty() || image_version(image.bytes)) {
      return false;
    }
    flag(image, vendor_bit::kVersionError);
    return true;
  });
  if (kept_.size() != before) {
    return kVendor;
  }
  for (const Image& image : kept_) {
    if (image.bytes.empty()) {
      continue;
    }
    const std::string v = *image_version(image.bytes);
    for (unsigned u : units_of(image.mask)) {
      versions_[u] = v;
      conditions_[u] = 0;
    }
  }
  kept_.clear();
  in_mode_ = false;
  return std::nullopt;
}

void FlashProgrammer::abandon() {
  in_mode_ = false;
  kept_.clear();
  current_.reset();
}

void FlashProgrammer::power_lost() {
  abandon();
}

std::uint16_t FlashProgrammer::status_word(unsigned unit, std::uint8_t pods_online) const {
  if (unit >= kFlashUnits || !fitted(unit)) {
    return 0;
  }
  std::uint16_t bits = conditions_[unit];
  if (unit > 0 && ((pods_online >> (unit - 1)) & 1u) == 0) {
    bits |= vendor_bit::kLostCommunication;
  }
  if (in_mode_ && current_ && !current_->complete()) {
    for (unsigned u : units_of(current_->mask)) {
      if (u == unit) {
        bits |= vendor_bit::kWaiting;
      }
    }
  }
  bits &= static_cast<std::uint16_t>(~vendor_bit::kCondition);
  return bits != 0 ? static_cast<std::uint16_t>(bits | vendor_bit::kCondition) : 0;
}

std::array<std::uint8_t, kVendorStatusLength>
FlashProgrammer::vendor_status(std::uint8_t pods_online) const {
  std::array<std::uint8_t, kVendorStatusLength> page{};
  for (unsigned u = 0; u < kFlashUnits; ++u) {
    const std::uint16_t w = status_word(u, pods_online);
    page[2 * u] = static_cast<std::uint8_t>(w & 0xff);
    page[2 * u + 1] = static_cast<std::uint8_t>(w >> 8);
  }
  return page;
}

std::array<std::uint8_t, kInventoryLength>
FlashProgrammer::inventory(std::uint8_t pods_online) const {
  std::array<std::uint8_t, kInventoryLength> page{};
  for (unsigned u = 0; u < kFlashUnits; ++u) {
    // A pod that does not answer cannot tell its version: only its condition shows.
    if (!fitted(u) || (u > 0 && ((pods_online >> (u - 1)) & 1u) == 0)) {
      continue;
    }
    std::uint8_t* entry = page.data() + u * kInventoryEntry;
    put_text(entry, 16, product(u), ' ');
    put_text(entry + 17, 6, versions_[u], 0);
  }
  return page;
}

void FlashProgrammer::add_condition(unsigned unit, std::uint16_t bits) {
  if (unit < kFlashUnits) {
    conditions_[unit] |= bits;
  }
}

void FlashProgrammer::clear_conditions() {
  conditions_.fill(0);
}

} // namespace qdemu
