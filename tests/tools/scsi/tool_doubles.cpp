#include "tool_doubles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kvscsi::test {

int ScriptPort::request(std::uint32_t cmd, void* record, int len) {
  Sent s{cmd, {}, 0};
  if (cmd == QMXSCSI && len == static_cast<int>(sizeof(qd_scsi_cmd))) {
    std::memcpy(&s.scsi, record, sizeof s.scsi);
  } else if ((cmd == QMXLOCK || cmd == QMXUNLOCK) && len == static_cast<int>(sizeof(int))) {
    std::memcpy(&s.arg, record, sizeof s.arg);
  } else {
    errno = EINVAL;
    return -1;
  }
  sent.push_back(s);
  if (cmd != QMXSCSI) {
    const int e = cmd == QMXLOCK ? lock_error : unlock_error;
    errno = e;
    return e == 0 ? 0 : -1;
  }
  Reply r;
  if (!replies.empty()) {
    r = std::move(replies.front());
    replies.pop_front();
  } else if (fallback) {
    r = fallback(s.scsi);
  }
  if (r.error != 0) {
    errno = r.error;
    return -1;
  }
  // As the driver hands the record back: its own three bytes, and the data on success.
  auto& sb = *static_cast<qd_scsi_cmd*>(record);
  sb.tran_stat = r.tran;
  sb.scsi_stat = r.status;
  sb.reason = r.reason;
  if (r.tran == QD_SCSI_ACCEPTED && r.status == 0 && r.reason == 0) {
    std::copy_n(r.data.begin(), std::min<std::size_t>(r.data.size(), sb.data_len), sb.data);
  }
  return 0;
}

std::vector<qd_scsi_cmd> ScriptPort::scsi() const {
  std::vector<qd_scsi_cmd> v;
  for (const Sent& s : sent) {
    if (s.cmd == QMXSCSI) {
      v.push_back(s.scsi);
    }
  }
  return v;
}

std::vector<std::uint8_t> sense_data(std::uint8_t key) {
  std::vector<std::uint8_t> d(18, 0);
  d[0] = 0x70;
  d[2] = key;
  return d;
}

std::vector<std::uint8_t> status_words(std::initializer_list<std::uint16_t> words) {
  std::vector<std::uint8_t> d;
  for (std::uint16_t w : words) {
    d.push_back(static_cast<std::uint8_t>(w));
    d.push_back(static_cast<std::uint8_t>(w >> 8));
  }
  d.resize(16, 0);
  return d;
}

std::vector<std::uint8_t> inquiry_data(std::uint8_t type, const std::string& vendor,
                                       const std::string& product, const std::string& revision) {
  std::vector<std::uint8_t> d(36, ' ');
  d[0] = type;
  d[1] = d[2] = d[3] = d[5] = d[6] = d[7] = 0;
  d[4] = 31;
  std::copy_n(vendor.begin(), std::min<std::size_t>(vendor.size(), 8), d.begin() + 8);
  std::copy_n(product.begin(), std::min<std::size_t>(product.size(), 16), d.begin() + 16);
  std::copy_n(revision.begin(), std::min<std::size_t>(revision.size(), 4), d.begin() + 32);
  return d;
}

} // namespace kvscsi::test
