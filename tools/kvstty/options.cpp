// kvstty's keyword table and word processing.
#include "kvstty/options.h"

#include <strings.h>

#include <array>
#include <limits>

namespace kvstty {
namespace {

enum class Key {
  kPort,
  kSane,
  kBaudext,
  kBaud,
  kLoop,
  kErrlev,
  kDtrdel,
  kGrddel,
  kCltmr,
  kLcltmr,
  kOuttmr,
  kLouttmr,
  kDisplayAll,
  kVerbose,
  kVerboseAll,
};

struct Keyword {
  const char* word;
  Key key;
};

// First match wins.
constexpr std::array<Keyword, 17> optab = {{
    {"port", Key::kPort},
    {"ports", Key::kPort},
    {"sane", Key::kSane},
    {"baudext", Key::kBaudext},
    {"baud", Key::kBaud},
    {"loop", Key::kLoop},
    {"errlev", Key::kErrlev},
    {"dtrdel", Key::kDtrdel},
    {"grddel", Key::kGrddel},
    {"cltmr", Key::kCltmr},
    {"lcltmr", Key::kLcltmr},
    {"outtmr", Key::kOuttmr},
    {"louttmr", Key::kLouttmr},
    {"-a", Key::kDisplayAll},
    {"-v", Key::kVerbose},
    {"-av", Key::kVerboseAll},
    {"-va", Key::kVerboseAll},
}};

const Keyword* find_keyword(std::string_view word) {
  std::string w(word);
  for (const Keyword& k : optab) {
    if (strcasecmp(w.c_str(), k.word) == 0) {
      return &k;
    }
  }
  return nullptr;
}

bool equals_nocase(std::string_view a, const char* b) {
  return strcasecmp(std::string(a).c_str(), b) == 0;
}

// The value of a digit string, wrapping modulo 2^64; *fits says whether it fits 32 bits.
std::uint64_t digits_value(std::string_view word, bool* fits) {
  std::uint64_t v = 0;
  bool small = true;
  for (char c : word) {
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > std::numeric_limits<std::uint32_t>::max()) {
      small = false;
    }
  }
  *fits = small;
  return v;
}

class Words {
public:
  explicit Words(const std::vector<std::string>& words) : words_(words) {}
  bool done() const { return pos_ >= words_.size(); }
  // next_arg: the next word, none at the end.
  const std::string* next() { return done() ? nullptr : &words_[pos_++]; }
  const std::string* peek() const { return done() ? nullptr : &words_[pos_]; }

private:
  const std::vector<std::string>& words_;
  std::size_t pos_ = 0;
};

WordError numeric_required(const char* name) {
  return {"Numeric argument required for " + std::string(name) + " option\n", false};
}

// A number too large for the record's 32-bit fields, shown as the user typed it.
WordError out_of_range(const char* name, const std::string& word) {
  return {"Numeric argument " + word + " out of range for " + std::string(name) + " option\n",
          false};
}

WordError speed_out_of_range(const std::string& word) {
  return {"Baudrate " + word + " out of range\n", false};
}

// getnum: the next word as a number that fits the record's 32-bit fields.
std::optional<WordError> getnum(Words& w, const char* name, std::uint32_t* value) {
  const std::string* word = w.next();
  if (word == nullptr || !isnum(*word)) {
    return numeric_required(name);
  }
  bool fits = false;
  const std::uint64_t v = digits_value(*word, &fits);
  if (!fits) {
    return out_of_range(name, *word);
  }
  *value = static_cast<std::uint32_t>(v);
  return std::nullopt;
}

WordError loop_error() {
  return {"loop requires on/off or 1/0 argument\n"};
}

WordError errlev_error() {
  return {"'errlev' expects either mnemonic argument (quiet,default,\nverbose), or numeric.\n"};
}

std::optional<WordError> process_option(const std::string& word, Words& w, Request& req) {
  const Keyword* k = find_keyword(word);
  if (k == nullptr) {
    if (isnum(word)) {
      bool fits = false;
      const std::uint64_t v = digits_value(word, &fits);
      if (!fits) {
        return speed_out_of_range(word);
      }
      if (v != 0) {
        req.baudrate = v;
      }
      return std::nullopt;
    }
    return WordError{"Option '" + word + "' not recognized\n"};
  }

  // The timers and other record settings: the number, and no default display.
  auto record_number = [&](const char* name, std::optional<std::uint32_t>& field,
                           std::uint32_t divisor) -> std::optional<WordError> {
    std::uint32_t n = 0;
    if (auto err = getnum(w, name, &n)) {
      return err;
    }
    field = n / divisor;
    req.update_ext = true;
    req.display_default = false;
    return std::nullopt;
  };

  switch (k->key) {
  case Key::kPort: {
    if (req.port_given) {
      return WordError{"The ports mode cannot be specified more than once\n"};
    }
    req.port_given = true;
    // The list ends at a keyword, a speed or a word that looks like an option, which are
    // then processed as options (an unknown option gets the usage, not an open).
    while (req.portnames.size() < kMaxPorts) {
      const std::string* next = w.peek();
      if (next == nullptr || is_keyword(*next) || isnum(*next) || next->starts_with('-')) {
        break;
      }
      req.portnames.push_back(*w.next());
    }
    return std::nullopt;
  }
  case Key::kSane:
    req.setsane = true;
    req.update_ext = true;
    req.display_default = false;
    return std::nullopt;
  case Key::kBaudext:
    return record_number("baudext", req.baud_ext, 1);
  case Key::kBaud: {
    const std::string* next = w.next();
    if (next == nullptr || !isnum(*next)) {
      return numeric_required("baud");
    }
    bool fits = false;
    const std::uint64_t v = digits_value(*next, &fits);
    if (!fits) {
      return speed_out_of_range(*next);
    }
    req.baudrate = v;
    return std::nullopt;
  }
  case Key::kLoop: {
    const std::string* next = w.next();
    if (next != nullptr && (equals_nocase(*next, "on") || *next == "1")) {
      req.setloop = true;
    } else if (next != nullptr && (equals_nocase(*next, "off") || *next == "0")) {
      req.setloop = false;
    } else {
      return loop_error();
    }
    req.update_ext = true;
    req.display_default = false;
    return std::nullopt;
  }
  case Key::kErrlev: {
    const std::string* next = w.next();
    if (next == nullptr) {
      return errlev_error();
    }
    if (equals_nocase(*next, "quiet")) {
      req.level = 0;
    } else if (equals_nocase(*next, "default")) {
      req.level = 1;
    } else if (equals_nocase(*next, "verbose")) {
      req.level = 2;
    } else if (isnum(*next)) {
      bool fits = false;
      req.level = static_cast<std::uint32_t>(digits_value(*next, &fits) & 0xf);
    } else {
      return errlev_error();
    }
    req.update_ext = true;
    req.display_default = false;
    return std::nullopt;
  }
  case Key::kDtrdel:
    return record_number("dtrdel", req.dtr_delay, 10);
  case Key::kGrddel:
    return record_number("grdel", req.guard_delay, 10);
  case Key::kCltmr:
    return record_number("cltmr", req.nonloc_timeout, 1);
  case Key::kLcltmr:
    return record_number("lcltmr", req.local_timeout, 1);
  case Key::kOuttmr:
    return record_number("outtmr", req.nonloc_waitout, 1);
  case Key::kLouttmr:
    return record_number("louttmr", req.local_waitout, 1);
  case Key::kDisplayAll:
    req.display_all = true;
    return std::nullopt;
  case Key::kVerbose:
    req.verbose = true;
    return std::nullopt;
  case Key::kVerboseAll:
    req.display_all = true;
    req.verbose = true;
    return std::nullopt;
  }
  return std::nullopt;
}

} // namespace

bool is_keyword(std::string_view word) {
  return find_keyword(word) != nullptr;
}

bool isnum(std::string_view word) {
  if (word.empty()) {
    return false;
  }
  for (char c : word) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

std::optional<WordError> process_words(const std::vector<std::string>& words, Request& req) {
  Words w(words);
  while (const std::string* word = w.next()) {
    if (auto err = process_option(*word, w, req)) {
      return err;
    }
  }
  return std::nullopt;
}

const char* const kUsageLines[19] = {
    "Usage: kvstty [-av] [modes] [[ < QMX_VRN_ttydev]]",
    "Options:",
    "-a                            display all parameters",
    "-v                            print longer parameter descriptions",
    "",
    "Modes:",
    "port                          port(s) to operate on",
    "sane                          restore default settings",
    "[numeric baud rate]           (if extended baud rate, sets extension)",
    "loop [on/off]                 enables/disables loopback",
    "errlev [numeric or mnemonic]  set error verbosity level",
    "baudext [numeric]             set baud rate extension factor",
    "cltmr [numeric secs]          close watchdog timer",
    "lcltmr[numeric secs]          local close watchdog timer",
    "dtrdel [numeric millisecs]    DTR delay timer for slow modems",
    "grddel [numeric millisecs]    guard band delay between sessions",
    "outtmr [numeric secs]         wait output watchdog timer",
    "louttmr [numeric secs]        local wait output watchdog timer",
    "",
};

} // namespace kvstty
