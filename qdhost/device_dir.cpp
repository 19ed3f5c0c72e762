#include "qdhost/device_dir.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

namespace qdhost {

namespace {

// Links followed on the way, at most (as the system's own lookup allows).
constexpr int kMaxLinks = 40;

class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& o) noexcept {
    reset(o.release());
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }

private:
  int fd_;
};

bool trusted(uid_t owner) {
  return owner == 0 || owner == ::geteuid();
}

bool others_write(const struct ::stat& st) {
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

std::string mode_text(const struct ::stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return mode;
}

std::string not_trusted(const std::string& at, const struct ::stat& st) {
  return at + ": belongs to uid " + std::to_string(st.st_uid) +
         "; every directory on the way to the device directory must belong to root or to "
         "qdhost's user (uid " +
         std::to_string(::geteuid()) + ")";
}

std::string writable(const std::string& at, const struct ::stat& st, const char* rule) {
  return at + ": group or others may write to it (mode " + mode_text(st) + "); " + rule;
}

void push_components(std::deque<std::string>& todo, const std::string& path) {
  std::vector<std::string> parts;
  for (std::size_t pos = 0; pos <= path.size();) {
    std::size_t end = path.find('/', pos);
    if (end == std::string::npos) {
      end = path.size();
    }
    if (end > pos) {
      parts.push_back(path.substr(pos, end - pos));
    }
    pos = end + 1;
  }
  todo.insert(todo.begin(), parts.begin(), parts.end());
}

std::string joined(const std::vector<std::string>& parts) {
  std::string s;
  for (const std::string& p : parts) {
    s += "/" + p;
  }
  return s.empty() ? "/" : s;
}

std::string child(const std::vector<std::string>& parts, const std::string& name) {
  return parts.empty() ? "/" + name : joined(parts) + "/" + name;
}

} // namespace

DeviceDir::~DeviceDir() {
  ::close(fd_);
}

// Walks the path one component at a time through descriptors, so that each check is made on
// the very directory the next step starts from.
std::unique_ptr<DeviceDir> DeviceDir::open(const std::string& given, int* err, std::string* why) {
  auto refuse = [&](int e, std::string text) -> std::unique_ptr<DeviceDir> {
    *err = e;
    *why = std::move(text);
    return nullptr;
  };
  if (given.empty()) {
    return refuse(EINVAL, "no device directory");
  }
  std::deque<std::string> todo;
  push_components(todo, given);
  if (given.front() != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      return refuse(errno, std::string("the working directory: ") + std::strerror(errno));
    }
    push_components(todo, cwd);
  }
  std::vector<std::string> at; // the components of where `cur` is, without links
  Fd cur;
  struct ::stat st {};
  auto from_root = [&]() -> int {
    at.clear();
    cur.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (cur.get() < 0 || ::fstat(cur.get(), &st) != 0) {
      return errno;
    }
    return 0;
  };
  if (int e = from_root()) {
    return refuse(e, std::string("/: ") + std::strerror(e));
  }
  int links = 0;
  for (;;) {
    const std::string here = joined(at);
    if (!trusted(st.st_uid)) {
      return refuse(EPERM, not_trusted(here, st));
    }
    if (others_write(st) && (st.st_mode & S_ISVTX) == 0) {
      return refuse(EPERM, writable(here, st,
                                    "every directory on the way to the device directory must "
                                    "be writable by its owner alone, or sticky"));
    }
    // Past ".", ".." and what is already walked.
    while (!todo.empty() && (todo.front() == "." || todo.front() == "..")) {
      if (todo.front() == ".." && !at.empty()) {
        cur.reset(::openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (cur.get() < 0 || ::fstat(cur.get(), &st) != 0) {
          return refuse(errno, here + "/..: " + std::strerror(errno));
        }
        at.pop_back(); // checked on the way down
      }
      todo.pop_front();
    }
    if (todo.empty()) {
      break;
    }
    const std::string name = todo.front();
    todo.pop_front();
    const std::string path = child(at, name);
    Fd next(::openat(cur.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0 && errno == ENOENT) {
      // Programs of every user must reach the port nodes. Where others may write (a sticky
      // directory), whoever made the name first owns it: the check below sees to that.
      if (::mkdirat(cur.get(), name.c_str(), 0755) == 0) {
        ::fchmodat(cur.get(), name.c_str(), 0755, 0);
      } else if (errno != EEXIST) {
        return refuse(errno, path + ": " + std::strerror(errno));
      }
      next.reset(::openat(cur.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    }
    if (next.get() < 0 || ::fstat(next.get(), &st) != 0) {
      return refuse(errno, path + ": " + std::strerror(errno));
    }
    if (S_ISLNK(st.st_mode)) {
      if (!trusted(st.st_uid)) {
        return refuse(EPERM, not_trusted(path, st));
      }
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(next.get(), "", target, sizeof target);
      if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target || ++links > kMaxLinks) {
        return refuse(ELOOP, path + ": " + std::strerror(ELOOP));
      }
      const std::string to(target, static_cast<std::size_t>(n));
      push_components(todo, to);
      if (to.front() == '/') {
        if (int e = from_root()) {
          return refuse(e, std::string("/: ") + std::strerror(e));
        }
      } else if (::fstat(cur.get(), &st) != 0) {
        return refuse(errno, joined(at) + ": " + std::strerror(errno));
      }
      continue; // the directory the link sits in has passed already; checked again, harmlessly
    }
    if (!S_ISDIR(st.st_mode)) {
      return refuse(ENOTDIR, path + ": " + std::strerror(ENOTDIR));
    }
    cur = std::move(next);
    at.push_back(name);
  }
  const std::string path = joined(at);
  if (others_write(st)) {
    return refuse(EPERM,
                  writable(path, st, "a device directory must be writable by qdhost's user alone"));
  }
  return std::unique_ptr<DeviceDir>(new DeviceDir(cur.release(), path));
}

} // namespace qdhost
