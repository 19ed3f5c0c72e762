// tbdump: prints one of the driver's trace rings, oldest text first.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ksys/stropts.h"
#include "kvutils.h"
#include "qdev/qdev.h"
#include "tbdump/trace_request.h"

namespace {

int usage() {
  std::fputs(tbdump::kUsage, stderr);
  return 1;
}

// The buffer the driver writes the ring into, registered under a 32-bit address for as long
// as the fetch needs it.
class TraceBuffer {
public:
  TraceBuffer() : bytes_(tbdump::kBufferSize, '\0') {
    handle_ = qdev::register_buffer(bytes_.data(), bytes_.size(), qdev::BufferUse::kFromDriver);
  }
  ~TraceBuffer() {
    if (handle_ != 0) {
      qdev::unregister_buffer(handle_);
    }
  }
  TraceBuffer(const TraceBuffer&) = delete;
  TraceBuffer& operator=(const TraceBuffer&) = delete;

  std::uint32_t handle() const { return handle_; }
  std::span<const char> first(std::size_t n) const { return {bytes_.data(), n}; }

private:
  std::vector<char> bytes_;
  std::uint32_t handle_ = 0;
};

int run(int argc, char** argv) {
  if (::getuid() != 0) {
    std::fputs("You must be root to use this utility.\n", stderr);
    return 1;
  }
  if (argc < 2) {
    return usage();
  }
  tbdump::OptionReader options(argc, argv);
  bool chosen = false;
  std::uint8_t type = QD_TRC_GLOBAL;
  std::uint32_t minor = 0;
  while (const std::optional<tbdump::Choice> c = options.next()) {
    chosen = true;
    type = c->type;
    minor = 0;
    if (c->port == nullptr) {
      continue;
    }
    switch (kv::check_char_device(c->port, &minor)) {
    case kv::NodeCheck::kStatFailed:
      kv::report_errno(stderr, c->port);
      std::fputs("Couldn't stat device.\n", stderr);
      return 1;
    case kv::NodeCheck::kNotCharDevice:
      std::fprintf(stderr, "'%s' not a character device\n", c->port);
      return 1;
    case kv::NodeCheck::kCharDevice:
      break;
    }
  }
  if (options.invalid() || !chosen) {
    return usage();
  }

  TraceBuffer buf;
  if (buf.handle() == 0) {
    kv::report_errno(stderr, "trace buffer");
    return 1;
  }
  qd_trc_req req = tbdump::make_request(type, minor, buf.handle());
  const std::string heading = tbdump::title(req);

  int fd = qdev::open(kv::kDiagNode, O_RDWR);
  if (fd < 0) {
    kv::report_errno(stderr, "Couldn't open diagnostic node /dev/qmx/qmxdiag");
    return 1;
  }
  strioctl s{};
  s.ic_cmd = qd_ioc(QMXTRCBUF);
  s.ic_timout = 0;
  s.ic_len = sizeof req;
  s.ic_dp = reinterpret_cast<char*>(&req);
  if (qdev::ioctl(fd, I_STR, &s) < 0) {
    switch (errno) {
    case ENOENT:
      std::fputs("Driver not configured for (that type of) tracing.\n", stderr);
      break;
    case ENODEV:
      std::fputs("Line has never been active.  No trace data.\n", stderr);
      break;
    case EINVAL:
      std::fputs("Specified device was not found.\n", stderr);
      break;
    default:
      kv::report_errno(stderr, "QMXTRCBUF");
      std::fputs("Unknown error fetching trace buffer.\n", stderr);
      break;
    }
    return 1;
  }
  qdev::close(fd);

  std::fputs(heading.c_str(), stdout);
  std::fputs(tbdump::unwrap(buf.first(tbdump::ring_size(type))).c_str(), stdout);
  std::fputs("\nEND\n", stdout);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  return run(argc, argv);
}
