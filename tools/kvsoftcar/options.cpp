// kvsoftcar's option reading.
#include "kvsoftcar/options.h"

#include <unistd.h>

namespace kvsoftcar {

std::optional<Options> parse_options(int argc, char** argv) {
  Options o;
  optind = 0; // start afresh; '+' stops at the first path, as POSIX getopt does
  int c;
  while ((c = ::getopt(argc, argv, "+yng")) != -1) {
    switch (c) {
    case 'y':
      o.mode = Mode::kSet;
      break;
    case 'n':
      o.mode = Mode::kClear;
      break;
    case 'g':
      o.mode = Mode::kGet;
      break;
    default:
      return std::nullopt;
    }
  }
  o.first_path = optind;
  return o;
}

const char kUsage[] = "\nUsage: kvsoftcar -yng [terms...]\n"
                      "   -y   set soft carrier\n"
                      "   -n   clear soft carrier\n"
                      "   -g   get current soft carrier state\n"
                      "You must be superuser to modify the state of soft carrier.\n";

} // namespace kvsoftcar
