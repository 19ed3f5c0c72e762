#include "qdemu/scsi_reply.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qdemu {

namespace {

void put_text(std::span<std::uint8_t> field, std::string_view text) {
  std::fill(field.begin(), field.end(), static_cast<std::uint8_t>(' '));
  std::memcpy(field.data(), text.data(), std::min(text.size(), field.size()));
}

} // namespace

std::array<std::uint8_t, kStandardInquiryLength> standard_inquiry(const InquiryIdentity& id) {
  std::array<std::uint8_t, kStandardInquiryLength> d{};
  d[0] = id.device_type;
  d[2] = 2; // SCSI-2
  d[3] = 2; // response data format
  d[4] = static_cast<std::uint8_t>(kStandardInquiryLength - 5);
  std::span<std::uint8_t> all(d);
  put_text(all.subspan(8, 8), id.vendor);
  put_text(all.subspan(16, 16), id.product);
  put_text(all.subspan(32, 4), id.revision);
  return d;
}

kemu::ScsiAnswer reply_data(kemu::ScsiCommand& cmd, std::span<const std::uint8_t> bytes,
                            std::size_t allocation) {
  std::span<std::uint8_t> room = cmd.data_in();
  const std::size_t n = std::min({bytes.size(), allocation, room.size()});
  std::copy_n(bytes.begin(), n, room.begin());
  return kemu::ScsiAnswer::good(cmd.length() - n);
}

kemu::ScsiAnswer SenseKeeper::check(std::uint8_t key, std::uint8_t add_code, std::uint8_t qualifier,
                                    bool ili) {
  kemu::ScsiAnswer a = kemu::ScsiAnswer::check(key, ili, add_code, qualifier);
  sense_ = a.sense;
  return a;
}

std::vector<std::uint8_t> SenseKeeper::take() {
  return std::exchange(sense_, {});
}

} // namespace qdemu
