// qdhost's command line: qdhost [--devdir DIR] [--conf FILE] [--topology FILE]
// [--minor-perm FILE] [--drain-bound SECONDS] [--max-connections N] [--speed N] [--test-loop].
// The device directory is --devdir, else $QD_DEVDIR, else /dev/qmx; qd.conf, the topology and
// the node permission table are etc/qd.conf, etc/topology and etc/minor_perm of the source
// tree unless named. --test-loop serves the loopback driver alone and reads neither qd.conf
// nor the topology.
// --drain-bound is how long the close of a program that went away may wait for its port's
// output (default 30 seconds of the emulated clock) before the driver flushes it.
// --max-connections is how many opens (connections to node sockets) are served at once
// (default 4096); past it new clients are refused.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace qdhost {

inline constexpr const char kDefaultDevDir[] = "/dev/qmx";

struct HostConfig {
  std::string devdir = kDefaultDevDir;
  std::string conf;       // the qd driver's configuration file; empty: the default
  std::string topology;   // the emulated hardware; empty: the default
  std::string minor_perm; // the node permission table; empty: the default
  long drain_bound = 30;  // seconds
  long max_connections = 4096;
  double speed = 1.0;     // emulated seconds per wall-clock second
  bool test_loop = false; // serve the built-in loopback driver (checks without the qd driver)
};

inline constexpr const char kUsage[] =
    "usage: qdhost [--devdir DIR] [--conf FILE] [--topology FILE] [--minor-perm FILE]\n"
    "              [--drain-bound SECONDS] [--max-connections N] [--speed N] [--test-loop]";

// args without the program name; env_devdir is $QD_DEVDIR (null when unset). No value and
// *error set when the line is refused.
std::optional<HostConfig> parse_command_line(std::span<const char* const> args,
                                             const char* env_devdir, std::string* error);

} // namespace qdhost
