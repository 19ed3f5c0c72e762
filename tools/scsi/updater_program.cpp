// Updating a unit: the lock, reprogramming mode, the file step for the unit or its pods,
// the firmware restart and the way out of every failure.
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "screens.h"
#include "unit_identity.h"
#include "updater.h"

namespace kvscsi {
namespace {

constexpr int kReadyTries = 4;
constexpr std::uint8_t kMainMask = 0x80;
constexpr std::uint8_t kEverything = 0xFF;

int lock_arg(const kv_dev& unit) {
  return unit.bus * 256 + unit.target;
}

} // namespace

int Updater::lock(const kv_dev& unit) {
  int arg = lock_arg(unit);
  if (port_.request(QMXLOCK, &arg, sizeof arg) != 0) {
    con_.error_text(errno);
    con_.outf("Couldn't lock bus %u target %u\n", unit.bus, unit.target);
    return 1;
  }
  return 0;
}

int Updater::unlock(const kv_dev& unit) {
  int arg = lock_arg(unit);
  if (port_.request(QMXUNLOCK, &arg, sizeof arg) != 0) {
    con_.outf("Couldn't unlock bus %u target %u\n", unit.bus, unit.target);
    return 1;
  }
  return 0;
}

bool Updater::ready(const kv_dev& unit) {
  for (int i = 0; i < kReadyTries; ++i) {
    if (channel_.do_test_unit_ready(unit) == 0) {
      return true;
    }
  }
  return false;
}

bool Updater::start(const kv_dev& unit, Update& u) {
  ready(unit);
  if (lock(unit) != 0) {
    con_.err("Couldn't lock access to unit.  Cannot program.\n");
    // A lock the driver refused after its checks (or that outlived the request's time-out)
    // stays set there and holds the opens of ports the unit reported busy: give it back.
    int arg = lock_arg(unit);
    port_.request(QMXUNLOCK, &arg, sizeof arg);
    finish(unit, u);
    return false;
  }
  u.locked = true;
  header(con_);
  con_.out("Switching unit to reprogramming mode...\n\n");
  if (channel_.prog_mode(unit) != 0) {
    con_.out("Couldn't switch to reprogramming mode\n");
    finish(unit, u);
    return false;
  }
  u.reprogramming = true;
  con_.out("Waiting for unit to become ready again...\n");
  con_.pause(1);
  if (!ready(unit)) {
    con_.out("Unit did not come ready after switching modes\n");
    finish(unit, u);
    return false;
  }
  return true;
}

void Updater::finish(const kv_dev& unit, Update& u) {
  if (u.reprogramming) {
    channel_.restart_fas(unit);
    con_.pause(1);
    channel_.do_test_unit_ready(unit);
  }
  if (u.locked) {
    unlock(unit);
  }
  cr2cont(con_);
}

bool Updater::failed(int result, const kv_dev& unit, Update& u) {
  if (result == kIncomplete) {
    // The unit stays locked and in reprogramming mode for the repeated download.
    con_.out("Unit's firmware is in unknown state.  Do not power it off.\n");
    con_.out("Re-attempt the download operation immediately.\n");
    cr2cont(con_);
    return true;
  }
  if (result != kDownloaded) {
    con_.out("\nUnit(s) not programmed.\n");
    finish(unit, u);
    return true;
  }
  return false;
}

void Updater::complete(const kv_dev& unit, Update& u, const char* done, bool unlock_first) {
  con_.out("\n\nDownload complete, restarting firmware...\n");
  if (channel_.restart_fas(unit) != 0) {
    con_.out("\nCouldn't restart firmware\n");
    finish(unit, u);
    return;
  }
  con_.out("\nWaiting for unit to become ready again...\n");
  con_.pause(2);
  if (!ready(unit)) {
    con_.out("\nUnit did not come ready after switching modes\n");
    finish(unit, u);
    return;
  }
  if (unlock_first) {
    unlock(unit);
  }
  con_.out(done);
  if (!unlock_first) {
    unlock(unit);
  }
  con_.line();
}

void Updater::program(const kv_dev& unit) {
  Update u;
  if (!start(unit, u)) {
    return;
  }
  if (failed(program_unit(unit, 0), unit, u)) {
    return;
  }
  complete(unit, u, "\nUnit successfully programmed.  <CR> to continue.", true);
}

std::optional<std::uint8_t> Updater::ask_pods() {
  for (;;) {
    con_.out("> ");
    clrline(con_);
    const auto l = con_.line();
    // End of input leaves as an empty line does.
    if (!l || l->empty() || (*l)[0] == 'm' || (*l)[0] == 'M') {
      return std::nullopt;
    }
    const char c = (*l)[0];
    if (c == 'a' || c == 'A') {
      // Without pods, "all" is the main unit alone.
      return pod_devs.empty() ? kMainMask : kEverything;
    }
    if (c == 'p' || c == 'P') {
      if (pod_devs.empty()) {
        con_.out("No pods found.\n");
        con_.pause(2);
        continue;
      }
      return kAllPods;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
      con_.out("Invalid response.\n");
      con_.pause(1);
      continue;
    }
    const int n = std::atoi(l->c_str());
    const auto last = static_cast<int>(pod_devs.size()) + 1;
    if (n < 1 || n > last) {
      con_.outf("Unit number should be in range 1-%u\n", static_cast<unsigned>(last));
      con_.pause(1);
      continue;
    }
    if (n == 1) {
      return kMainMask;
    }
    return static_cast<std::uint8_t>(1u << pod_devs[static_cast<std::size_t>(n - 2)].pod);
  }
}

void Updater::program_pod_unit(const kv_dev& unit) {
  Update u;
  if (!start(unit, u)) {
    return;
  }
  con_.out("\nTaking inventory...\n");
  channel_.inventory().fill(0);
  if (channel_.read_version(unit) != 0) {
    con_.out("\nError getting pod version info\n");
    finish(unit, u);
    return;
  }
  pod_devs = pods_of(unit, channel_.inventory());

  header(con_);
  con_.outf("\nSelected %s unit has %u attached pods\n\n", unit.product.c_str(),
            static_cast<unsigned>(pod_devs.size()));
  con_.out("Unit   Bus  Target  Pod  Product               Version\n");
  con_.outf(" 1.     %u     %u      -   %-16s      %s (main SCSI unit)\n", unit.bus, unit.target,
            unit.product.c_str(), unit.version.c_str());
  for (std::size_t i = 0; i < pod_devs.size(); ++i) {
    const kv_dev& p = pod_devs[i];
    con_.outf(" %u.     %u     %u      %c   %-16s      %s (pod)\n", static_cast<unsigned>(i + 2),
              p.bus, p.target, '0' + p.pod, p.product.c_str(), p.version.c_str());
  }
  con_.out("\n\nEnter:\n");
  con_.out("   Unit number to program\n");
  con_.out("   P for all pods\n");
  con_.out("   A for all (main and all pods)\n");
  con_.out("   M to return to main menu\n\n");

  const std::optional<std::uint8_t> mask = ask_pods();
  if (!mask) {
    finish(unit, u);
    return;
  }
  if ((*mask & kAllPods) != 0) {
    con_.out("\nProgramming pod(s)...\n");
    if (failed(program_unit(pod_devs.front(), *mask & kAllPods), unit, u)) {
      return;
    }
  }
  if ((*mask & kMainMask) != 0) {
    con_.out("\n\nProgramming master SCSI unit...\n");
    if (failed(program_unit(unit, 0), unit, u)) {
      return;
    }
  }
  complete(unit, u, "\nUnit(s) successfully programmed.  <CR> to continue.", false);
}

} // namespace kvscsi
