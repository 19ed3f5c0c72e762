// qdhost's command line: qdhost [--devdir DIR] [--conf FILE] [--topology FILE] [--speed N]
// [--test-loop]. The device directory is --devdir, else $QD_DEVDIR, else /dev/qmx.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace qdhost {

inline constexpr const char kDefaultDevDir[] = "/dev/qmx";

struct HostConfig {
  std::string devdir = kDefaultDevDir;
  std::string conf;       // the qd driver's configuration file; empty when not given
  std::string topology;   // the emulated hardware; empty when not given
  double speed = 1.0;     // emulated seconds per wall-clock second
  bool test_loop = false; // serve the built-in loopback driver (checks without the qd driver)
};

inline constexpr const char kUsage[] =
    "usage: qdhost [--devdir DIR] [--conf FILE] [--topology FILE] [--speed N] [--test-loop]";

// args without the program name; env_devdir is $QD_DEVDIR (null when unset). No value and
// *error set when the line is refused.
std::optional<HostConfig> parse_command_line(std::span<const char* const> args,
                                             const char* env_devdir, std::string* error);

} // namespace qdhost
