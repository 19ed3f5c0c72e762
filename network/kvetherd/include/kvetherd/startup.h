// What the daemon settles before its log exists: the unit node's path, the log file's name
// and the log file itself.
//
// Two environment variables serve tests only; the daemon needs neither:
//   KVETHERD_LOGDIR      the directory of the log file in place of /var/tmp
//   KVETHERD_FOREGROUND  when set and not empty, no fork: the process started is the
//                        daemon, so a test can wait for it and see its exit status
#pragma once

#include <sys/types.h>

#include <string>

namespace kvetherd {

inline constexpr const char kUsage[] = "Usage: kvetherd unit_node [ip_address]\n";
inline constexpr const char kLogDir[] = "/var/tmp";

// "/dev/qmx/<arg>" for a name, the argument itself when it holds a '/'.
std::string node_path(const std::string& arg);
// The argument, or the text after its last '/'.
std::string base_name(const std::string& arg);
// "<dir>/<base>.<pid>.log".
std::string log_path(const std::string& dir, const std::string& base, pid_t pid);

// $KVETHERD_LOGDIR when set and not empty, else /var/tmp.
std::string log_directory();
// Whether $KVETHERD_FOREGROUND asks to skip the fork.
bool stay_in_foreground();

// Opens the log write-only, creating it with mode 0644: an existing file is written over
// from its start, neither truncated nor appended to. The descriptor, or -1 with errno.
int open_log(const std::string& path);

} // namespace kvetherd
