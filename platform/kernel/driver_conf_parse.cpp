// The driver.conf reader: text to entries, or the first syntax error with its line.
#include <cstdint>
#include <cstdio>
#include <limits>

#include "kemu/driver_conf.h"

namespace kemu {

const ConfProp* ConfEntry::find(std::string_view name) const {
  for (const auto& p : props) {
    if (p.name == name) {
      return &p;
    }
  }
  return nullptr;
}

namespace {

bool is_name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_name_char(char c) {
  return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '+';
}
int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

class Parser {
public:
  Parser(std::string_view file, std::string_view text) : text_(text) { err_.file = file; }

  ConfFile run() {
    ConfFile out;
    for (;;) {
      skip_blank();
      if (at_end()) {
        break;
      }
      ConfEntry e;
      if (!entry(e)) {
        out.error = err_;
        out.entries.clear();
        return out;
      }
      out.entries.push_back(std::move(e));
    }
    return out;
  }

private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }
  void advance() {
    if (text_[pos_] == '\n') {
      ++line_;
    }
    ++pos_;
  }

  // Whitespace, newlines and comments.
  void skip_blank() {
    while (!at_end()) {
      char c = peek();
      if (c == '#') {
        while (!at_end() && peek() != '\n') {
          advance();
        }
      } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        advance();
      } else {
        break;
      }
    }
  }

  bool fail(int line, std::string reason) {
    err_.line = line;
    err_.reason = std::move(reason);
    return false;
  }

  static std::string shown(char c) {
    if (c >= 0x20 && c < 0x7f) {
      return std::string("'") + c + "'";
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", static_cast<unsigned char>(c));
    return buf;
  }

  bool entry(ConfEntry& e) {
    e.line = line_;
    int last_line = line_;
    for (;;) {
      ConfProp p;
      if (!property(p)) {
        return false;
      }
      if (e.find(p.name) != nullptr) {
        return fail(p.line, "'" + p.name + "' given twice in one entry (missing ';'?)");
      }
      last_line = line_;
      e.props.push_back(std::move(p));
      skip_blank();
      if (at_end()) {
        return fail(last_line, "missing ';' at end of entry");
      }
      if (peek() == ';') {
        advance();
        return true;
      }
      if (!is_name_start(peek())) {
        return fail(line_, "unexpected " + shown(peek()) + " (missing ';'?)");
      }
    }
  }

  bool property(ConfProp& p) {
    p.line = line_;
    if (!is_name_start(peek())) {
      return fail(line_, "expected a property name, found " + shown(peek()));
    }
    std::size_t start = pos_;
    while (!at_end() && is_name_char(peek())) {
      advance();
    }
    p.name = std::string(text_.substr(start, pos_ - start));
    skip_blank();
    if (peek() != '=') {
      return fail(p.line, "expected '=' after '" + p.name + "'");
    }
    advance();
    skip_blank();
    char c = peek();
    if (at_end() || c == ';') {
      return fail(p.line, "missing value for '" + p.name + "'");
    }
    if (c == '"') {
      return string_value(p);
    }
    if ((c >= '0' && c <= '9') || c == '-') {
      return number_value(p);
    }
    return fail(line_, "value of '" + p.name + "' must be a number or a quoted string");
  }

  bool string_value(ConfProp& p) {
    const int open_line = line_;
    advance(); // the opening quote
    std::string s;
    for (;;) {
      if (at_end() || peek() == '\n') {
        return fail(open_line, "unterminated string for '" + p.name + "'");
      }
      char c = peek();
      advance();
      if (c == '"') {
        break;
      }
      if (c == '\\' && (peek() == '"' || peek() == '\\')) {
        c = peek();
        advance();
      }
      s.push_back(c);
    }
    p.value.is_string = true;
    p.value.text = std::move(s);
    return true;
  }

  bool number_value(ConfProp& p) {
    std::size_t start = pos_;
    bool neg = false;
    if (peek() == '-') {
      neg = true;
      advance();
    }
    std::uint64_t mag = 0;
    int digits = 0;
    bool hex = false;
    bool overflow = false;
    if (peek() == '0' && pos_ + 1 < text_.size() &&
        (text_[pos_ + 1] == 'x' || text_[pos_ + 1] == 'X')) {
      hex = true;
      advance();
      advance();
    }
    const std::uint64_t limit =
        hex ? 0xffffffffu
            : (neg ? std::uint64_t{1} << 31
                   : std::uint64_t{std::numeric_limits<std::int32_t>::max()});
    for (;;) {
      int d = hex ? hex_digit(peek()) : (peek() >= '0' && peek() <= '9' ? peek() - '0' : -1);
      if (at_end() || d < 0) {
        break;
      }
      mag = mag * (hex ? 16 : 10) + static_cast<unsigned>(d);
      overflow = overflow || mag > limit;
      if (overflow) {
        mag = limit + 1; // keep it from wrapping
      }
      ++digits;
      advance();
    }
    while (!at_end() && is_name_char(peek())) {
      advance();
      digits = -1; // trailing garbage such as 12ab or 0x1g
    }
    std::string shown_text(text_.substr(start, pos_ - start));
    if (digits <= 0) {
      return fail(p.line, "bad number '" + shown_text + "' for '" + p.name + "'");
    }
    if (overflow || (hex && neg && mag > (std::uint64_t{1} << 31))) {
      return fail(p.line, "number '" + shown_text + "' for '" + p.name + "' out of range");
    }
    // Hexadecimal values are 32-bit patterns: 0xffffffff is -1.
    std::int64_t v = neg ? -static_cast<std::int64_t>(mag) : static_cast<std::int64_t>(mag);
    p.value.number = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
  ConfError err_;
};

} // namespace

ConfFile parse_driver_conf(std::string_view file, std::string_view text) {
  return Parser(file, text).run();
}

} // namespace kemu
