// The update tool's screens and steps: the bus scan, the unit menu, the update of a single
// unit or of a unit with pods, and the file step, around the unit lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "console.h"
#include "diag_port.h"
#include "unit_channel.h"
#include "unit_commands.h"

namespace kvscsi {

inline constexpr int kBuses = 16;
inline constexpr int kTargets = 7;
inline constexpr std::size_t kMaxUnits = 64;
inline constexpr std::size_t kFileNameMax = 79;

class Updater {
public:
  Updater(DiagPort& port, Console& con) : port_(port), con_(con), channel_(port, con) {}

  // The main menu, until the user quits (0) or no unit is found (1): the exit status.
  int menu();

  // Rebuilds kv_devs from an INQUIRY of every bus and target.
  void scanbus();
  const std::vector<kv_dev>& units() const { return kv_devs; }

  void program(const kv_dev& unit);
  void program_pod_unit(const kv_dev& unit);
  // The file step: kDownloaded, kIncomplete or kNotProgrammed.
  int program_unit(const kv_dev& unit, std::uint8_t mask);

  int lock(const kv_dev& unit);
  int unlock(const kv_dev& unit);

  UnitChannel& channel() { return channel_; }

private:
  // What an update has done to the unit, for the way out.
  struct Update {
    bool locked = false;
    bool reprogramming = false;
  };

  // Locks the unit, switches it to reprogramming mode and waits for it: true when ready
  // for the file step; otherwise the update has been finished.
  bool start(const kv_dev& unit, Update& u);
  // Restarts and unlocks what the update changed, then waits for <CR>.
  void finish(const kv_dev& unit, Update& u);
  // Restarts the new firmware and unlocks the ready unit.
  void complete(const kv_dev& unit, Update& u, const char* done, bool unlock_first);
  // Reports a result of the file step other than kDownloaded; false to go on.
  bool failed(int result, const kv_dev& unit, Update& u);
  // Up to four TEST UNIT READYs: true at the first success.
  bool ready(const kv_dev& unit);
  // The pod prompt: the mask of the units to program, or none to leave.
  std::optional<std::uint8_t> ask_pods();

  DiagPort& port_;
  Console& con_;
  UnitChannel channel_;
  std::vector<kv_dev> kv_devs;
  std::vector<kv_dev> pod_devs;
};

} // namespace kvscsi
