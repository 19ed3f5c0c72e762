// tbdump's options, request, title and ring unwrapping.
#include "tbdump/trace_request.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tbdump {

std::size_t ring_size(std::uint8_t type) {
  switch (type) {
  case QD_TRC_GLOBAL:
    return 131072;
  case QD_TRC_UNIT:
    return 32768;
  default:
    return 8192;
  }
}

OptionReader::OptionReader(int argc, char** argv) : argc_(argc), argv_(argv) {
  optind = 0; // start afresh
}

std::optional<Choice> OptionReader::next() {
  if (invalid_) {
    return std::nullopt;
  }
  switch (::getopt(argc_, argv_, "+gu:l:")) {
  case -1:
    return std::nullopt;
  case 'g':
    return Choice{QD_TRC_GLOBAL, nullptr};
  case 'u':
    return Choice{QD_TRC_UNIT, optarg};
  case 'l':
    return Choice{QD_TRC_LINE, optarg};
  default:
    invalid_ = true;
    return std::nullopt;
  }
}

qd_trc_req make_request(std::uint8_t type, std::uint32_t minor, std::uint32_t buffer) {
  qd_trc_req r{};
  r.type = type;
  r.bus = static_cast<std::uint8_t>((minor >> 12) & 0xf);
  r.target = static_cast<std::uint8_t>((minor >> 8) & 0xf);
  r.line = static_cast<std::uint8_t>(minor & 0xff);
  r.lanvara = static_cast<std::uint8_t>((minor >> 16) & 1);
  r.buffer = buffer;
  return r;
}

std::string title(const qd_trc_req& req) {
  char buf[128];
  switch (req.type) {
  case QD_TRC_GLOBAL:
    return "Global Trace Buffer\n\n";
  case QD_TRC_UNIT:
    std::snprintf(buf, sizeof buf, "Unit Trace Buffer: bus %d target %d\n\n", req.bus, req.target);
    return buf;
  default:
    std::snprintf(buf, sizeof buf, "Line Trace Buffer: bus %d target %d line 0x%x\n\n", req.bus,
                  req.target, static_cast<unsigned>(req.line));
    return buf;
  }
}

std::string unwrap(std::span<const char> ring) {
  std::string out;
  auto mark = std::find(ring.begin(), ring.end(), '~');
  std::size_t start = 0;
  if (mark == ring.end()) {
    if (std::all_of(ring.begin(), ring.end(), [](char c) { return c == '\0'; })) {
      return "No data in trace buffer.\n";
    }
    out = "No wrap point found!\n";
  } else {
    start = static_cast<std::size_t>(mark - ring.begin());
  }
  auto keep = [&out](char c) {
    if (c != '\0') {
      out += c;
    }
  };
  std::for_each(ring.begin() + static_cast<std::ptrdiff_t>(start), ring.end(), keep);
  std::for_each(ring.begin(), ring.begin() + static_cast<std::ptrdiff_t>(start), keep);
  return out;
}

const char kUsage[] = "\nUsage: tbdump [-gul] [[portname]]\n"
                      "          g = global tracing (no portname needed)\n"
                      "          u = unit tracing, specify any port at the unit desired\n"
                      "          l = line tracing, specify port desired\n"
                      "\n";

} // namespace tbdump
