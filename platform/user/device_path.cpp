// Which paths name device nodes, and where their sockets are.
#include <cstdlib>
#include <string>
#include <string_view>

#include "qdev/qdev.h"

namespace qdev {
namespace {

constexpr std::string_view kDefaultDir = "/dev/qmx";

std::string_view trim_slashes(std::string_view dir) {
  while (dir.size() > 1 && dir.back() == '/') {
    dir.remove_suffix(1);
  }
  return dir;
}

// The node name when path is dir/name with a plain name, else empty.
std::string_view name_in(std::string_view path, std::string_view dir) {
  if (dir.empty() || path.size() <= dir.size() + 1 || path.substr(0, dir.size()) != dir ||
      path[dir.size()] != '/') {
    return {};
  }
  std::string_view name = path.substr(dir.size() + 1);
  if (name.find('/') != std::string_view::npos || name == "." || name == "..") {
    return {};
  }
  return name;
}

} // namespace

std::string device_dir() {
  const char* env = std::getenv("QD_DEVDIR");
  std::string_view dir = env != nullptr && *env != '\0' ? std::string_view(env) : kDefaultDir;
  return std::string(trim_slashes(dir));
}

std::string node_socket_path(const char* path) {
  if (path == nullptr) {
    return {};
  }
  const std::string dir = device_dir();
  std::string_view name = name_in(path, dir);
  if (name.empty()) {
    name = name_in(path, kDefaultDir); // the programs' own spelling of the directory
  }
  if (name.empty()) {
    return {};
  }
  return dir + "/" + std::string(name);
}

} // namespace qdev
