#include "kvetherd/log.h"

#include <syslog.h>

#include <cerrno>
#include <cstring>

namespace kvetherd {

std::string log_prefix(const std::tm& local) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d:%02d: ", local.tm_mon + 1, local.tm_mday,
                local.tm_year, local.tm_hour, local.tm_min, local.tm_sec);
  return buf;
}

const char* error_message(int err) {
  const char* text = ::strerrordesc_np(err);
  return text != nullptr ? text : "unknown error";
}

std::string log_text(int flags, std::string_view text, int err) {
  if ((flags & kLogErrno) == 0) {
    return std::string(text);
  }
  std::string line(text);
  line += ": ";
  line += error_message(err);
  line += " (errno=" + std::to_string(err) + ")";
  return line;
}

void SystemSyslog::error(const std::string& text) {
  ::openlog("kvetherd", LOG_PID, LOG_DAEMON);
  ::syslog(LOG_ERR, "%s", text.c_str());
  ::closelog();
}

void Logger::log(int flags, std::string_view text) {
  const int err = errno;
  const std::string line = log_text(flags, text, err);
  const std::string prefix = log_prefix(local_time_());
  std::fputs(prefix.c_str(), out_);
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
  if ((flags & kLogSyslog) != 0) {
    syslog_.error(line);
  }
  errno = err;
}

} // namespace kvetherd
