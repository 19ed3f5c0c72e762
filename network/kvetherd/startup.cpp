#include "kvetherd/startup.h"

#include <fcntl.h>

#include <cstdlib>

#include "kvutils.h"

namespace kvetherd {

std::string node_path(const std::string& arg) {
  return arg.find('/') == std::string::npos ? kv::kNodeDir + arg : arg;
}

std::string base_name(const std::string& arg) {
  const auto slash = arg.rfind('/');
  return slash == std::string::npos ? arg : arg.substr(slash + 1);
}

std::string log_path(const std::string& dir, const std::string& base, pid_t pid) {
  return dir + "/" + base + "." + std::to_string(pid) + ".log";
}

std::string log_directory() {
  const char* dir = std::getenv("KVETHERD_LOGDIR");
  return dir != nullptr && *dir != '\0' ? dir : kLogDir;
}

bool stay_in_foreground() {
  const char* v = std::getenv("KVETHERD_FOREGROUND");
  return v != nullptr && *v != '\0';
}

int open_log(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
}

} // namespace kvetherd
