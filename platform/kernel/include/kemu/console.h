// Where cmn_err output goes: a buffer that tests read, or the host log (kemu/host_log.h:
// standard error, buffered in qdhost).
#pragma once

#include <string>

namespace kemu {

void console_to_stderr(bool on);
std::string console_text(); // everything printed since the last take
std::string take_console(); // returns it and empties the buffer

} // namespace kemu
