#include "qdnet/vrn_exchange.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "fas.h"
#include "qdnet/socket_util.h"

namespace qdnet {
namespace {

using Packet = std::array<unsigned char, kVrnPacket>;

// One write of the whole request; a short write counts as a failure.
bool write_request(int fd, const Packet& p) {
  const ssize_t n = ::write(fd, p.data(), p.size());
  if (n == static_cast<ssize_t>(p.size())) {
    return true;
  }
  if (n >= 0) {
    errno = EIO;
  }
  return false;
}

// A string of at most `end - *at` bytes ending with a NUL, or running to the end.
std::string take_string(const unsigned char* data, std::size_t end, std::size_t* at) {
  if (*at >= end) {
    return {};
  }
  const auto* start = data + *at;
  const auto* nul = static_cast<const unsigned char*>(std::memchr(start, 0, end - *at));
  const std::size_t len = nul != nullptr ? static_cast<std::size_t>(nul - start) : end - *at;
  *at += len + 1;
  return std::string(reinterpret_cast<const char*>(start), len);
}

class Exchange {
public:
  Exchange(const VrnExchangeOptions& opts, const VrnReporter& report)
      : opts_(opts), report_(report) {}
  ~Exchange() {
    if (fd_ >= 0) {
      const int err = errno;
      ::close(fd_);
      errno = err;
    }
  }

  int run(VrnInquiry* out);

private:
  bool fail(VrnEvent e, const unsigned char* answer = nullptr) {
    tell(e, answer);
    return false;
  }
  void tell(VrnEvent e, const unsigned char* answer = nullptr, const VrnInquiry* inq = nullptr) {
    if (report_) {
      const int err = errno;
      report_(e, VrnEventInfo{answer, inq});
      errno = err;
    }
  }
  bool connect();
  bool unlock_and_inquire(VrnInquiry* out);
  bool reset();

  const VrnExchangeOptions& opts_;
  const VrnReporter& report_;
  int fd_ = -1;
};

bool Exchange::connect() {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) {
    return fail(VrnEvent::socket_failed);
  }
  const sockaddr_in to = ipv4_address(opts_.address, htons(opts_.port));
  if (connect_with_timeout(fd_, to, opts_.timeout_ms) < 0 ||
      (opts_.timeout_ms > 0 && set_io_timeout(fd_, opts_.timeout_ms) < 0)) {
    return fail(VrnEvent::connect_failed);
  }
  tell(VrnEvent::connected);
  return true;
}

bool Exchange::unlock_and_inquire(VrnInquiry* out) {
  Packet unlock_req{FAS_UNIT_UNLOCK};
  if (!write_request(fd_, unlock_req)) {
    return fail(VrnEvent::unlock_write_failed);
  }
  Packet unlock_rsp{};
  if (sock_read(fd_, unlock_rsp.data(), kVrnPacket) < 0) {
    return fail(VrnEvent::unlock_read_failed);
  }
  if (unlock_rsp[0] != FAS_UNIT_UNLOCK) {
    return fail(VrnEvent::unlock_bad_opcode, unlock_rsp.data());
  }
  tell(VrnEvent::unlock_ok, unlock_rsp.data());

  Packet inquiry_req{};
  bitmash(&unlock_rsp[2], &inquiry_req[2]);
  inquiry_req[0] = FAS_UNIT_INQUIRY;
  if (!write_request(fd_, inquiry_req)) {
    return fail(VrnEvent::inquiry_write_failed);
  }
  Packet inquiry_rsp{};
  if (sock_read(fd_, inquiry_rsp.data(), kVrnPacket) < 0) {
    return fail(VrnEvent::inquiry_read_failed);
  }
  if (inquiry_rsp[0] != FAS_UNIT_INQUIRY) {
    return fail(VrnEvent::inquiry_bad_opcode, inquiry_rsp.data());
  }
  tell(VrnEvent::inquiry_ok, inquiry_rsp.data());

  // Data past the buffer is read too, so that the stream stays in step, and then dropped.
  const std::size_t length = fas_get16(&inquiry_rsp[6]);
  std::vector<unsigned char> data(std::max(length, opts_.inquiry_buffer));
  if (sock_read(fd_, data.data(), static_cast<int>(length)) < 0) {
    return fail(VrnEvent::data_read_failed);
  }
  const VrnInquiry inq = parse_inquiry(data.data(), std::min(length, opts_.inquiry_buffer), length);
  tell(VrnEvent::data_ok, nullptr, &inq);
  if (out != nullptr) {
    *out = inq;
  }
  return true;
}

bool Exchange::reset() {
  Packet reset_req{FAS_UNIT_RESET};
  if (!write_request(fd_, reset_req)) {
    return fail(VrnEvent::reset_write_failed);
  }
  Packet reset_rsp{};
  if (sock_read(fd_, reset_rsp.data(), kVrnPacket) < 0) {
    return fail(VrnEvent::reset_read_failed);
  }
  if (reset_rsp[0] != FAS_UNIT_RESET) {
    return fail(VrnEvent::reset_bad_opcode, reset_rsp.data());
  }
  tell(VrnEvent::reset_ok, reset_rsp.data());
  return true;
}

int Exchange::run(VrnInquiry* out) {
  if (!connect() || !unlock_and_inquire(out)) {
    return -1;
  }
  if (opts_.reset) {
    return reset() ? 0 : -1;
  }
  return std::exchange(fd_, -1);
}

} // namespace

VrnInquiry parse_inquiry(const unsigned char* data, std::size_t kept, std::size_t length) {
  VrnInquiry inq;
  inq.length = length;
  inq.shortened = kept < length;
  std::size_t at = kInquiryStrings;
  inq.vendor = take_string(data, kept, &at);
  inq.model = take_string(data, kept, &at);
  inq.firmware = take_string(data, kept, &at);
  return inq;
}

int vrn_tcp_exchange(const VrnExchangeOptions& opts, const VrnReporter& report,
                     VrnInquiry* inquiry) {
  return Exchange(opts, report).run(inquiry);
}

} // namespace qdnet
