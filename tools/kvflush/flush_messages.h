// kvflush's words for the driver's answer to a port flush.
#pragma once

#include <string>

namespace kvflush {

// The line printed for a flush refused with errno `err`.
std::string refusal_message(int err);

} // namespace kvflush
