// Digit test, decimal conversion and dotted-quad parser for the qd.conf entries.
#include "qd_util.h"

#include <cstring>

int qdisdigit(char c) {
  return c >= '0' && c <= '9' ? 1 : 0;
}

std::uint32_t qdatoi(const char* text) {
  std::uint32_t value = 0;
  std::uint32_t place = 1;
  for (std::size_t i = std::strlen(text); i > 0; --i) {
    // Characters are signed: anything below '0' subtracts, wrapping like the rest.
    const auto c = static_cast<signed char>(text[i - 1]);
    value += static_cast<std::uint32_t>(c - '0') * place;
    place *= 10;
  }
  return value;
}

std::uint32_t qdinet_addr(const char* text) {
  if (text == nullptr) {
    return 0;
  }
  char work[80];
  std::strncpy(work, text, sizeof work - 1);
  work[sizeof work - 1] = '\0';

  char* part[4] = {work, nullptr, nullptr, nullptr};
  for (int i = 1; i < 4; ++i) {
    char* dot = std::strchr(part[i - 1], '.');
    if (dot == nullptr) {
      return 0;
    }
    *dot = '\0';
    part[i] = dot + 1;
  }
  if (std::strchr(part[3], '.') != nullptr) {
    return 0;
  }
  unsigned char octet[4];
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t v = qdatoi(part[i]);
    if (v > 255) {
      return 0;
    }
    octet[i] = static_cast<unsigned char>(v);
  }
  // The first part at the lowest address, whatever the host's byte order.
  std::uint32_t addr;
  std::memcpy(&addr, octet, sizeof addr);
  return addr;
}
