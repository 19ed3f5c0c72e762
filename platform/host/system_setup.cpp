// The system qdhost serves. For now that is the loopback driver under --test-loop; the qd
// driver, its qd.conf (cfg.conf), the topology (cfg.topology) and the emulated units come
// here.
#include "qdhost/system_setup.h"

#include <cstdio>

#include "qdhost/loop_driver.h"

namespace qdhost {

int bring_up(kemu::Kernel& /*kernel*/, kemu::Ddi& ddi, const HostConfig& cfg, std::string* why) {
  if (!cfg.conf.empty()) {
    std::fprintf(stderr, "qdhost: %s not read: this qdhost has no qd driver yet\n",
                 cfg.conf.c_str());
  }
  if (!cfg.topology.empty()) {
    std::fprintf(stderr, "qdhost: %s not read: this qdhost has no emulated units yet\n",
                 cfg.topology.c_str());
  }
  if (cfg.test_loop) {
    return loop::install(ddi, why);
  }
  return 0;
}

void take_down(kemu::Kernel& /*kernel*/, kemu::Ddi& ddi, const HostConfig& cfg) {
  if (cfg.test_loop && ddi.loaded(loop::kDriverName)) {
    loop::remove(ddi);
  }
}

} // namespace qdhost
