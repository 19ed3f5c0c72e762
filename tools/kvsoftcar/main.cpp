// kvsoftcar: shows, sets or clears the soft carrier of terminal ports.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "ksys/termios.h"
#include "kvsoftcar/options.h"
#include "kvutils.h"
#include "qdev/qdev.h"

namespace {

using kvsoftcar::Mode;

int usage() {
  std::fputs(kvsoftcar::kUsage, stderr);
  return 1;
}

int run(int argc, char** argv) {
  if (argc < 3) {
    return usage();
  }
  auto opts = kvsoftcar::parse_options(argc, argv);
  // An option among the paths is refused before any node is touched.
  if (!opts || !opts->mode || kv::any_option({argv + opts->first_path, argv + argc})) {
    return usage();
  }
  const Mode mode = *opts->mode;
  if (mode != Mode::kGet && ::geteuid() != 0) {
    std::fputs("You must be superuser to alter soft carrier.\n", stderr);
    return usage();
  }
  for (int i = opts->first_path; i < argc; ++i) {
    const char* path = argv[i];
    int fd = qdev::open(path, O_RDWR | O_NDELAY);
    if (fd < 0) {
      std::fprintf(stderr, "Can't open '%s'\n", path);
      return 1;
    }
    if (mode == Mode::kGet) {
      int on = 0;
      if (qdev::ioctl(fd, TIOCGSOFTCAR, &on) < 0) {
        std::fprintf(stderr, "Couldn't get soft carrier state for '%s'\n", path);
        return 1;
      }
      std::printf("%s: soft carrier is %s\n", path, on != 0 ? "ON" : "OFF");
    } else {
      const int on = mode == Mode::kSet ? 1 : 0;
      if (qdev::ioctl(fd, TIOCSSOFTCAR, &on) < 0) {
        std::fprintf(stderr, "Couldn't set soft carrier state for '%s'\n", path);
        return 1;
      }
    }
    qdev::close(fd);
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  return run(argc, argv);
}
