// The qd.conf text routines.
#include <cstring>
#include <string>

#include "driver_fixture.h"

namespace {

// The bytes of an address as they lie in memory.
std::string octets(std::uint32_t addr) {
  unsigned char b[4];
  std::memcpy(b, &addr, 4);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

TEST(QdInetAddr, DottedQuads) {
  struct Case {
    const char* text;
    const char* want; // memory order, or nullptr for 0
  };
  // Only the first 79 characters count: the 5 at the 80th is cut off.
  const std::string long_text = "1.1.1." + std::string(73, '0') + "5";
  const Case cases[] = {
      {"10.1.2.3", "10.1.2.3"},
      {"255.255.255.255", "255.255.255.255"},
      {"1..2.3", "1.0.2.3"},    // an empty part is 0
      {"1a.0.0.1", "59.0.0.1"}, // no digit check: '1a' is 10 + 49
      {"10.1.2", nullptr},
      {"10.1.2.3.4", nullptr},
      {"10.1.256.3", nullptr},
      {"4294967296.1.1.1", "0.1.1.1"}, // the conversion wraps to 0
      {"", nullptr},
      {"0.0.0.0", nullptr}, // what callers refuse
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::uint32_t got = qdinet_addr(c.text);
    if (c.want == nullptr) {
      EXPECT_EQ(got, 0u);
    } else {
      EXPECT_EQ(octets(got), c.want);
    }
  }
  EXPECT_EQ(octets(qdinet_addr(long_text.c_str())), "1.1.1.0");
  EXPECT_EQ(octets(qdinet_addr(long_text.substr(1).c_str())), "0.1.1.5"); // 79: nothing cut
}

TEST(QdAtoi, Conversions) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {"", 0},
      {"007", 7},
      {"12345", 12345},
      {"4294967295", 4294967295u},
      {"1a", 59},
      {"4294967296", 0},
      {"-1", static_cast<std::uint32_t>(-3 * 10 + 1)},
  };
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(qdatoi(text), want) << text;
  }
}

TEST(QdIsDigit, OnlyDecimalDigits) {
  for (int c = -128; c < 128; ++c) {
    EXPECT_EQ(qdisdigit(static_cast<char>(c)), c >= '0' && c <= '9' ? 1 : 0) << c;
  }
}

} // namespace
