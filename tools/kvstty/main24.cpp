// kvstty for systems without CBAUDEXT: speeds above 38400 as B38400 and the port's speed
// extension.
#include <span>

#include "kvstty/run.h"

int main(int argc, char** argv) {
  return kvstty::run(std::span<const char* const>(argv, static_cast<std::size_t>(argc)),
                     kvstty::Variant::kSpeedExt);
}
