// tbdump's pieces: its options, the trace fetch request, the title and the ring's text in
// time order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "qdio.h"

namespace tbdump {

// The receiving buffer: the largest ring and one byte more, zero at the start.
inline constexpr std::size_t kBufferSize = 131073;

// Ring size assumed for a fetch type (global, unit, line).
std::size_t ring_size(std::uint8_t type);

// One option of the command line: the ring type, and for -u and -l the port named.
struct Choice {
  std::uint8_t type;
  const char* port; // null for -g
};

// The options in command-line order, one at a time (getopt, started afresh, stopping at the
// first word that is no option), so that each port is examined before the next option is
// read; the last one decides.
class OptionReader {
public:
  OptionReader(int argc, char** argv);
  // The next option; none at the end of the options or at an invalid option or a missing
  // port, which sets invalid().
  std::optional<Choice> next();
  bool invalid() const { return invalid_; }

private:
  int argc_;
  char** argv_;
  bool invalid_ = false;
};

// The request for a ring type and a port's minor number (0 for the driver-wide ring).
qd_trc_req make_request(std::uint8_t type, std::uint32_t minor, std::uint32_t buffer);

// The line that heads the dump, with the empty line after it.
std::string title(const qd_trc_req& req);

// The ring's text oldest first: from its end mark '~' (included) to the end, then from the
// start up to the mark, without NUL bytes; with the notes for an empty ring and for a ring
// without a mark.
std::string unwrap(std::span<const char> ring);

// The usage text, for standard error.
extern const char kUsage[];

} // namespace tbdump
