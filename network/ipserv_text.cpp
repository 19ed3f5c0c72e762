// kvipserv's texts: hardware addresses, the hex dump, the operator boxes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "qdnet/ipserv.h"
#include "qdnet/socket_util.h"

namespace qdnet::ipserv {
namespace {

void print_box(std::FILE* out, int text_width, std::initializer_list<const char*> lines) {
  const std::string frame =
      "  +" + std::string(static_cast<std::size_t>(text_width + 1), '-') + "+\n";
  std::fputs(frame.c_str(), out);
  for (const char* line : lines) {
    std::fprintf(out, "  | %-*s|\n", text_width, line);
  }
  std::fputs(frame.c_str(), out);
}

} // namespace

int str2hwaddr(const char* text, std::uint8_t* hw) {
  static const char* const kForms[] = {"%2x%2x%2x%2x%2x%2x", "%2x.%2x.%2x.%2x.%2x.%2x",
                                       "%2x:%2x:%2x:%2x:%2x:%2x"};
  for (const char* form : kForms) {
    unsigned v[6];
    if (std::sscanf(text, form, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6) {
      for (int i = 0; i < 6; ++i) {
        hw[i] = static_cast<std::uint8_t>(v[i]);
      }
      return 0;
    }
  }
  return -1;
}

const char* hwaddr2str(const std::uint8_t* hw) {
  static char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", hw[0], hw[1], hw[2], hw[3],
                hw[4], hw[5]);
  return text;
}

int hwaddrs_equal(const std::uint8_t* a, const std::uint8_t* b) {
  return std::memcmp(a, b, 6) == 0 ? 1 : 0;
}

void dumpdata(std::FILE* out, const std::uint8_t* data, int n) {
  for (int row = 0; row < n; row += 16) {
    char label[32];
    std::snprintf(label, sizeof label, "%5d/0x%X: ", row, static_cast<unsigned>(row));
    std::fprintf(out, "%12s", label);
    for (int i = row; i < row + 16; ++i) {
      if (i < n) {
        std::fprintf(out, "%02X ", data[i]);
      } else {
        std::fputs("   ", out);
      }
    }
    std::fputc(' ', out);
    for (int i = row; i < row + 16 && i < n; ++i) {
      const std::uint8_t c = data[i];
      std::fputc(c >= 0x20 && c < 0x7f ? c : '.', out);
    }
    std::fputc('\n', out);
  }
}

void perror_stdout(const char* text) {
  perror_to(stdout, text);
}

void print_erase_box(std::FILE* out) {
  print_box(out, 65,
            {"If the Lanvara module did NOT have a stored IP address, the",
             "\"on\" indicator will soon be steadily lit, and the module will",
             "then be ready for use.", "",
             "If the Lanvara module DID have a stored IP address, then it",
             "will now reprogram itself to erase that IP address.  This will",
             "take about 10 seconds.  DO NOT DISRUPT POWER TO THE MODULE UNTIL",
             "THE \"ON\" INDICATOR HAS RESUMED RAPID FLASHING FOR A FULL 5",
             "SECONDS.  Failure to do so could render the Lanvara module", "inoperable.",
             "     Once reprogramming has finished, the Lanvara module will",
             "await delivery of a new IP address.  You may use this program",
             "to deliver this address."});
}

void print_store_box(std::FILE* out) {
  print_box(out, 68,
            {"If the Lanvara module did not have a stored IP address, or if the",
             "address to be stored is different than the one currently stored,",
             "the Lanvara module is now reprogramming itself.  This will take",
             "about 10 seconds.  DO NOT DISRUPT POWER TO THE MODULE UNTIL THE",
             "\"ON\" INDICATOR HAS REMAINED STEADILY LIT FOR A FULL 5 SECONDS.",
             "Failure to do so could render the Lanvara module inoperable.",
             "Once reprogramming has finished, the Lanvara module will be ready", "for use."});
}

} // namespace qdnet::ipserv
