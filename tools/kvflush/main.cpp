// kvflush: asks the driver to hang up and flush stuck ports, in the host and in the unit.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kvflush/flush_messages.h"
#include "kvutils.h"
#include "qdev/qdev.h"
#include "qdio.h"

namespace {

int run(int argc, char** argv) {
  const char* prog = argc > 0 ? argv[0] : "kvflush";
  // It takes no options: "-h" is a mistake, not the name of a port to look up.
  if (argc < 2 || kv::any_option({argv + 1, argv + argc})) {
    std::fputs("Usage: kvflush [devname(s)]\n", stdout);
    return 1;
  }
  if (::geteuid() != 0) {
    std::fputs("You must be root to use this utility.\n", stdout);
    return 1;
  }
  int fd = qdev::open(kv::kDiagNode, O_RDWR);
  if (fd < 0) {
    std::fflush(stdout);
    kv::report_errno(stderr, kv::kDiagNode);
    std::fputs("Couldn't open global diagnostics node.\n", stdout);
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
    const char* name = argv[i];
    std::uint32_t minor = 0;
    switch (kv::check_char_device(name, &minor)) {
    case kv::NodeCheck::kStatFailed:
      std::fflush(stdout);
      kv::report_errno(stderr, nullptr);
      std::printf("%s: couldn't stat '%s'\n", prog, name);
      continue;
    case kv::NodeCheck::kNotCharDevice:
      std::printf("%s: '%s' not a character device\n", prog, name);
      continue;
    case kv::NodeCheck::kCharDevice:
      break;
    }
    if (qdev::ioctl(fd, qd_ioc(QMXFLUSH), minor) >= 0) {
      std::printf("Port '%s' flushed.\n", name);
    } else {
      std::fputs(kvflush::refusal_message(errno).c_str(), stdout);
    }
  }
  qdev::close(fd);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  return run(argc, argv);
}
