// The main menu and the bus scan of the update tool.
#include <cstdlib>

#include "screens.h"
#include "updater.h"

namespace kvscsi {

void Updater::scanbus() {
  const bool again = !kv_devs.empty();
  kv_devs.clear();
  con_.outf("%scanning SCSI bus(es) for Orvane QMX devices...\n\n", again ? "Re-s" : "S");
  for (int bus = 0; bus < kBuses; ++bus) {
    for (int target = 0; target < kTargets; ++target) {
      con_.outf("\rBus %u Target %u\r", bus, target);
      kv_dev dev;
      dev.bus = static_cast<std::uint8_t>(bus);
      dev.target = static_cast<std::uint8_t>(target);
      if (channel_.do_inquiry(dev) != 0) {
        continue;
      }
      if (kv_devs.size() == kMaxUnits) {
        con_.errf("Exceeded maximum number of units (%d)--unit ignored.",
                  static_cast<int>(kMaxUnits));
        break;
      }
      kv_devs.push_back(std::move(dev));
    }
  }
  clrline(con_);
}

int Updater::menu() {
  for (;;) {
    header(con_);
    scanbus();
    if (kv_devs.empty()) {
      con_.out("No QMX devices found!\n");
      return 1;
    }
    con_.out("Unit   Bus  Target  Product               Version\n");
    for (std::size_t i = 0; i < kv_devs.size(); ++i) {
      const kv_dev& d = kv_devs[i];
      con_.outf(" %u.     %u     %u     %-16s      %s\n", static_cast<unsigned>(i + 1), d.bus,
                d.target, d.product.c_str(), d.version.c_str());
    }
    con_.out("\n");

    const auto count = static_cast<int>(kv_devs.size());
    int n = 0;
    for (;;) {
      clrline(con_);
      con_.out("Select unit to program or Q to quit: ");
      const auto l = con_.line();
      // End of input leaves as Q does.
      if (!l || (!l->empty() && ((*l)[0] == 'q' || (*l)[0] == 'Q'))) {
        cls(con_);
        return 0;
      }
      n = std::atoi(l->c_str());
      if (n >= 1 && n <= count) {
        break;
      }
      con_.outf("Unit number must be in range 1-%u.\n", static_cast<unsigned>(count));
      con_.pause(1);
    }

    // The next scan rebuilds the table.
    const kv_dev unit = kv_devs[static_cast<std::size_t>(n - 1)];
    con_.outf("\n\nReprogram %s unit at bus %u target %u ([y]/n): ", unit.product.c_str(), unit.bus,
              unit.target);
    if (yes(con_)) {
      if (unit.pod_capable != 0) {
        program_pod_unit(unit);
      } else {
        program(unit);
      }
    }
  }
}

} // namespace kvscsi
