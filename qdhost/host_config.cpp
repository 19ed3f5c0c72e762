#include "qdhost/host_config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace qdhost {

namespace {

// A decimal number from lo to hi, the whole text.
std::optional<long> whole_number(std::string_view value, long lo, long hi) {
  const std::string text(value);
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || n < lo || n > hi || errno != 0) {
    return std::nullopt;
  }
  return n;
}

} // namespace

std::optional<HostConfig> parse_command_line(std::span<const char* const> args,
                                             const char* env_devdir, std::string* error) {
  HostConfig cfg;
  if (env_devdir != nullptr && *env_devdir != '\0') {
    cfg.devdir = env_devdir;
  }
  auto refuse = [&](std::string why) -> std::optional<HostConfig> {
    *error = std::move(why);
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    if (name == "--test-loop" && !value) {
      cfg.test_loop = true;
      continue;
    }
    if (name != "--devdir" && name != "--conf" && name != "--topology" && name != "--minor-perm" &&
        name != "--drain-bound" && name != "--max-connections" && name != "--speed") {
      return refuse("unknown option '" + std::string(arg) + "'");
    }
    if (!value) {
      if (i + 1 == args.size()) {
        return refuse(std::string(name) + " needs a value");
      }
      value = args[++i];
    }
    if (value->empty()) {
      return refuse(std::string(name) + " needs a value");
    }
    if (name == "--devdir") {
      cfg.devdir = *value;
    } else if (name == "--conf") {
      cfg.conf = *value;
    } else if (name == "--topology") {
      cfg.topology = *value;
    } else if (name == "--minor-perm") {
      cfg.minor_perm = *value;
    } else if (name == "--drain-bound") {
      const std::optional<long> s = whole_number(*value, 0, 86400);
      if (!s) {
        return refuse("--drain-bound needs whole seconds from 0 to 86400, not '" +
                      std::string(*value) + "'");
      }
      cfg.drain_bound = *s;
    } else if (name == "--max-connections") {
      const std::optional<long> n = whole_number(*value, 1, 1000000);
      if (!n) {
        return refuse("--max-connections needs a whole number from 1 to 1000000, not '" +
                      std::string(*value) + "'");
      }
      cfg.max_connections = *n;
    } else {
      std::string text(*value);
      char* end = nullptr;
      double s = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || !std::isfinite(s) || s <= 0) {
        return refuse("--speed needs a positive number, not '" + text + "'");
      }
      cfg.speed = s;
    }
  }
  return cfg;
}

} // namespace qdhost
