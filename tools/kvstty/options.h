// kvstty's command words: keywords matched without regard to case, keyword=value split into
// two words, the requested settings they make.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvstty {

inline constexpr std::size_t kMaxPorts = 1024;

// What the command line asks for; an empty optional is a setting not requested.
struct Request {
  std::optional<std::uint64_t> baudrate;
  std::optional<std::uint32_t> baud_ext; // the factor n, not yet shifted into place
  std::optional<bool> setloop;
  std::optional<std::uint32_t> level;
  std::optional<std::uint32_t> nonloc_timeout; // close watchdog, s
  std::optional<std::uint32_t> local_timeout;  // local close watchdog, s
  std::optional<std::uint32_t> dtr_delay;      // 10 ms units
  std::optional<std::uint32_t> guard_delay;    // 10 ms units
  std::optional<std::uint32_t> nonloc_waitout; // output completion watchdog, s
  std::optional<std::uint32_t> local_waitout;  // local output completion watchdog, s
  bool setsane = false;

  bool display_default = true; // cleared by every keyword that changes something but speed
  bool display_all = false;
  bool verbose = false;
  bool update_ext = false;

  bool port_given = false;
  std::vector<std::string> portnames; // as typed

  // One pass on standard input when no port was named.
  bool use_stdin() const { return !port_given; }
  // The settings are shown only when one port (or standard input) is worked on.
  bool single_port() const { return !port_given || portnames.size() == 1; }
};

// A word error: the text for standard error, and whether the usage text follows it.
struct WordError {
  std::string message;
  bool with_usage = true;
};

// Processes every word in order. The first error stops it.
std::optional<WordError> process_words(const std::vector<std::string>& words, Request& req);

// Whether the word is a keyword of the table (any case).
bool is_keyword(std::string_view word);
// Non-empty and all decimal digits.
bool isnum(std::string_view word);

// Usage text, one line per entry, each printed with "%s\n".
extern const char* const kUsageLines[19];

} // namespace kvstty
