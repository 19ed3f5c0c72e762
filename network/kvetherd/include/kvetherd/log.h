// The daemon's log: one line per event in its log file (which is also its standard error),
// the important ones also to syslog.
#pragma once

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace kvetherd {

// Log flags: every line goes to the file; kLogSyslog also to syslog; kLogErrno adds the
// system's message for errno.
inline constexpr int kLogSyslog = 2;
inline constexpr int kLogErrno = 4;
// The three kinds of line the daemon writes.
inline constexpr int kNote = 1;
inline constexpr int kEvent = kLogSyslog;
inline constexpr int kSystemError = kLogSyslog | kLogErrno;

// "MM/DD/YY hh:mm:ss: " where YY is the years since 1900 (99, 100, ...).
std::string log_prefix(const std::tm& local);

// The text of a line: with kLogErrno "text: message (errno=N)", else the text itself.
std::string log_text(int flags, std::string_view text, int err);

// The system's message for err, or "unknown error" when it has none.
const char* error_message(int err);

class SyslogSink {
public:
  virtual ~SyslogSink() = default;
  virtual void error(const std::string& text) = 0;
};

// openlog("kvetherd", LOG_PID, LOG_DAEMON), syslog at LOG_ERR, closelog, for every line.
class SystemSyslog final : public SyslogSink {
public:
  void error(const std::string& text) override;
};

class Logger {
public:
  using LocalTime = std::function<std::tm()>;

  Logger(std::FILE* out, SyslogSink& syslog, LocalTime local_time)
      : out_(out), syslog_(syslog), local_time_(std::move(local_time)) {}

  // vrn_log: one line stamped with the local time, flushed at once. errno is read for
  // kLogErrno and left as it was.
  void log(int flags, std::string_view text);

private:
  std::FILE* out_;
  SyslogSink& syslog_;
  LocalTime local_time_;
};

} // namespace kvetherd
