// kvab: switches the port groups of a redundant unit between its two SCSI buses.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "ksys/termios.h"
#include "kvab/switch_mask.h"
#include "kvutils.h"
#include "qdev/qdev.h"

namespace {

// Longest node path kvab keeps (a 128-byte field).
constexpr std::size_t kMaxControlPort = 127;

int usage(const char* prog) {
  std::fputs(kvab::usage_text(prog).c_str(), stderr);
  return 1;
}

int run(int argc, char** argv) {
  const char* prog = argc > 0 ? argv[0] : "kvab";
  if (argc < 2 || argv[1][0] == '\0') {
    std::fputs("\nA control device to open must be specified.\n", stderr);
    return usage(prog);
  }
  const char* control_port = argv[1];
  if (control_port[0] == '-') { // kvab has no options: "-h" asks for the usage, names no node
    return usage(prog);
  }
  if (std::strlen(control_port) > kMaxControlPort) {
    std::fprintf(stderr, "\nControl device name longer than %zu characters.\n", kMaxControlPort);
    return usage(prog);
  }
  int control_fd = qdev::open(control_port, O_RDWR);
  if (control_fd < 0) {
    kv::report_errno(stderr, "\nFailed to open control device");
    return usage(prog);
  }
  int bits = 0;
  if (qdev::ioctl(control_fd, TIOCMGET, &bits) < 0) {
    kv::report_errno(stderr, "\nGETMSTATUS ioctl on port failed");
    return usage(prog);
  }
  kvab::Switch s;
  s.mask = kvab::mask_from_modem(bits);

  const auto words =
      kv::split_words(std::span<const char* const>(argv + 2, static_cast<std::size_t>(argc - 2)));
  for (const std::string& word : words) {
    switch (kvab::process_option(word, s)) {
    case kvab::Action::kSwitched:
      break;
    case kvab::Action::kShow:
      std::fputs(kvab::show_stat(s.mask).c_str(), stdout);
      break;
    case kvab::Action::kNotRecognized:
      std::fflush(stdout);
      std::fprintf(stderr, "\nOption '%s' not recognized\n", word.c_str());
      return usage(prog);
    }
  }
  if (s.write_flag != 0) {
    errno = EIO; // a write that takes no byte sets no errno
    if (qdev::write(control_fd, &s.mask, 1) != 1) {
      // The unit did not get the new assignment: say so rather than end as if it had.
      kv::report_errno(stderr, "\nFailed to write switch setting");
      return 1;
    }
  }
  qdev::close(control_fd);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  return run(argc, argv);
}
