#include "lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qdev/qdev.h"

namespace mevo {
namespace {

// Rounds of "write the candidate, link it" before giving up on a lock that changes or
// cannot be read every time we look at it.
constexpr int kMaxRounds = 32;

std::string pid_text(pid_t pid) {
  char text[32];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

// Writes the candidate lock; 0, or 1 after its messages.
int create_tmp_proc_id(const std::string& tmp, pid_t pid) {
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
  if (fd < 0) {
    std::perror(tmp.c_str());
    std::fputs("Couldn't create temp file.\n", stderr);
    return 1;
  }
  const std::string text = pid_text(pid);
  ssize_t n = ::write(fd, text.data(), text.size());
  if (n < static_cast<ssize_t>(text.size())) {
    std::perror(tmp.c_str());
    std::fputs("Write failed on temp file.\n", stderr);
    ::close(fd);
    ::unlink(tmp.c_str());
    return 1;
  }
  ::close(fd);
  return 0;
}

// Whether the owner of a lock still runs. A process of another user answers EPERM: it is
// alive, and its lock must stand.
bool owner_alive(int pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

struct DeviceNumbers {
  unsigned long fs_major, major, minor;
};

int device_numbers(const std::string& tty_name, DeviceNumbers* out) {
  struct ::stat st {};
  if (qdev::stat(tty_name.c_str(), &st) != 0) {
    return -1;
  }
  out->fs_major = ::major(st.st_dev);
  if (!qdev::node_socket_path(tty_name.c_str()).empty()) {
    out->major = qdev::major_of(st.st_rdev);
    out->minor = qdev::minor_of(st.st_rdev);
  } else {
    out->major = ::major(st.st_rdev);
    out->minor = ::minor(st.st_rdev);
  }
  return 0;
}

} // namespace

std::string lock_dir() {
  const char* env = std::getenv("MEVO_LOCKDIR");
  return env != nullptr && *env != '\0' ? env : kDefaultLockDir;
}

std::string lock_name(const std::string& dir, unsigned long fs_major, unsigned long major,
                      unsigned long minor) {
  char tail[80];
  std::snprintf(tail, sizeof tail, "/LK.%3.3lu.%3.3lu.%3.3lu", fs_major, major, minor);
  return dir + tail;
}

int read_lock_proc_id(const std::string& path, bool* no_access) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (no_access != nullptr) {
    *no_access = fd < 0 && (errno == EACCES || errno == EPERM);
  }
  if (fd < 0) {
    return -1;
  }
  char text[12];
  ssize_t n = ::read(fd, text, 11);
  ::close(fd);
  if (n < 0) {
    return -1;
  }
  text[n] = '\0';
  return std::atoi(text);
}

int lock_tty(const std::string& dir, const std::string& tty_name, pid_t pid,
             std::string* lock_file) {
  DeviceNumbers dn{};
  if (device_numbers(tty_name, &dn) != 0) {
    std::perror(tty_name.c_str());
    std::fputs("Couldn't stat device node.\n", stderr);
    return 1;
  }
  const std::string name = lock_name(dir, dn.fs_major, dn.major, dn.minor);
  const std::string tmp = dir + "/MEVOTMP" + std::to_string(pid);

  for (int round = 0; round < kMaxRounds; ++round) {
    if (create_tmp_proc_id(tmp, pid) != 0) {
      return 1;
    }
    if (::link(tmp.c_str(), name.c_str()) == 0) {
      ::unlink(tmp.c_str());
      *lock_file = name;
      return 0;
    }
    const int link_errno = errno;
    ::unlink(tmp.c_str());
    if (link_errno != EEXIST) {
      errno = link_errno;
      std::perror(name.c_str());
      std::fputs("Couldn't link lockfile name.\n", stderr);
      return 1;
    }

    bool no_access = false;
    const int owner = read_lock_proc_id(name, &no_access);
    if (no_access) {
      std::fprintf(stderr, "No read access to existing lockfile '%s'.\n", name.c_str());
      return 1;
    }
    if (owner == -1) {
      continue; // gone or changing under us: try again
    }
    if (owner <= 4) {
      std::fprintf(stderr, "Line locked with dubious format lockfile '%s'.\n", name.c_str());
      return 1;
    }
    if (owner_alive(owner)) {
      std::fprintf(stderr, "%s: already in use.\n", tty_name.c_str());
      return 1;
    }
    if (read_lock_proc_id(name) != owner) {
      continue; // someone took it over meanwhile
    }
    if (::unlink(name.c_str()) != 0) {
      std::perror(name.c_str());
      std::fprintf(stderr, "Couldn't remove possibly stagnant lockfile '%s'.\n", name.c_str());
      return 1;
    }
  }
  // A lock that never reads the same twice (or cannot be read at all, as a directory in its
  // place) is as good as a malformed one.
  std::fprintf(stderr, "Line locked with dubious format lockfile '%s'.\n", name.c_str());
  return 1;
}

void unlock_tty(std::string& lock_file) {
  if (!lock_file.empty()) {
    ::unlink(lock_file.c_str());
    lock_file.clear();
  }
}

} // namespace mevo
