// The lock file that keeps two programs off one port. It follows the usual convention of the
// host's dial-out programs: a file "LK.<fs major>.<major>.<minor>" in the lock directory
// holding the owner's process id as "%10d\n", taken atomically with link().
//
// The lock directory is "/var/spool/locks"; the environment variable MEVO_LOCKDIR moves it
// (tests use it, and so can a host whose programs keep their locks elsewhere).
#pragma once

#include <sys/types.h>

#include <string>

namespace mevo {

inline constexpr const char kDefaultLockDir[] = "/var/spool/locks";

// $MEVO_LOCKDIR when set and not empty, else the default.
std::string lock_dir();

// "%s/LK.%3.3lu.%3.3lu.%3.3lu".
std::string lock_name(const std::string& dir, unsigned long fs_major, unsigned long major,
                      unsigned long minor);

// The process id in a lock file, or -1 when it cannot be opened or read. No leading number
// reads as 0. *no_access, when given, tells whether the open was refused for want of
// permission (apart from the answer, which a lock's own text can make anything).
int read_lock_proc_id(const std::string& path, bool* no_access = nullptr);

// Takes the lock for the port at tty_name in dir for process pid. On success returns 0 and
// sets *lock_file to the lock's path. Otherwise prints what went wrong on standard error
// and returns 1, having removed only its own temporary file.
int lock_tty(const std::string& dir, const std::string& tty_name, pid_t pid,
             std::string* lock_file);

// Removes the lock and forgets it; nothing when none is held.
void unlock_tty(std::string& lock_file);

} // namespace mevo
