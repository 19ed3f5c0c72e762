// kvsoftcar's options: -y set, -n clear, -g get; the last one given decides.
#pragma once

#include <optional>

namespace kvsoftcar {

enum class Mode { kSet, kClear, kGet };

struct Options {
  std::optional<Mode> mode; // none: no mode option was given
  int first_path = 0;       // index in argv of the first terminal path
};

// Reads the options with getopt (which it starts afresh). None for an unknown option.
std::optional<Options> parse_options(int argc, char** argv);

// The five usage lines, for standard error.
extern const char kUsage[];

} // namespace kvsoftcar
