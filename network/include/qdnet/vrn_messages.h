// What the two reset tools say about each failed step of the module exchange.
#pragma once

#include <cstdio>

#include "qdnet/vrn_exchange.h"

namespace qdnet {

// kvvrnreset: perror-style lines and its own formats, on `err` (standard error).
VrnReporter reset_tool_reporter(std::FILE* err);
// kvipserv: its perror-style lines and its own texts, on `out` (standard output).
VrnReporter ipserv_reporter(std::FILE* out);

} // namespace qdnet
