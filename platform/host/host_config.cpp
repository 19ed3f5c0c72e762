#include "qdhost/host_config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace qdhost {

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
      std::string text(*value);
      char* end = nullptr;
      errno = 0;
      long s = std::strtol(text.c_str(), &end, 10);
      if (end == text.c_str() || *end != '\0' || s < 0 || s > 86400 || errno != 0) {
        return refuse("--drain-bound needs whole seconds from 0 to 86400, not '" + text + "'");
      }
      cfg.drain_bound = s;
    } else if (name == "--max-connections") {
      std::string text(*value);
      char* end = nullptr;
      errno = 0;
      long n = std::strtol(text.c_str(), &end, 10);
      if (end == text.c_str() || *end != '\0' || n < 1 || n > 1000000 || errno != 0) {
        return refuse("--max-connections needs a whole number from 1 to 1000000, not '" + text +
                      "'");
      }
      cfg.max_connections = n;
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
