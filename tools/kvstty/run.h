// kvstty as a whole: the words, then each port opened, read, merged, written and closed.
#pragma once

#include <span>

#include "kvstty/speed_table.h"

namespace kvstty {

// The exit status. Everything is written on standard error.
int run(std::span<const char* const> args, Variant v);

} // namespace kvstty
