// Module lookup for the stream head.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ksys/stream.h"
#include "ksys/types.h"

namespace kemu {

streamtab* find_module(std::string_view name); // nullptr when unknown
// Module names to push at the first open of dev, lowest first.
std::vector<std::string> autopush_for(dev_t dev);

} // namespace kemu
