// kvstty for systems with CBAUDEXT: speeds above 38400 as extended termios speeds.
#include <span>

#include "kvstty/run.h"

int main(int argc, char** argv) {
  return kvstty::run(std::span<const char* const>(argv, static_cast<std::size_t>(argc)),
                     kvstty::Variant::kCbaudext);
}
