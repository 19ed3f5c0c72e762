// The programs' common helpers (kvutils.h).
#include "kvutils.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "qdev/qdev.h"

namespace kv {
namespace {

// What the SIGALRM handler writes; prepared before the alarm is armed, since the handler
// may only use async-signal-safe calls.
std::array<char, 1024> timeout_text{};
std::size_t timeout_len = 0;
int timeout_fd = 2;
int timeout_status = 1;

extern "C" void on_open_alarm(int) {
  std::size_t done = 0;
  while (done < timeout_len) {
    ssize_t n = ::write(timeout_fd, timeout_text.data() + done, timeout_len - done);
    if (n <= 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  ::_exit(timeout_status);
}

} // namespace

std::string node_path(std::string_view name) {
  std::string path;
  if (name.empty() || name.front() != '/') {
    path = kNodeDir;
  }
  path.append(name);
  if (path.size() > kMaxPath) {
    path.resize(kMaxPath);
  }
  return path;
}

NodeCheck check_char_device(const char* path, std::uint32_t* minor) {
  struct ::stat st {};
  if (qdev::stat(path, &st) != 0) {
    return NodeCheck::kStatFailed;
  }
  if (!S_ISCHR(st.st_mode)) {
    return NodeCheck::kNotCharDevice;
  }
  *minor = minor_of(st.st_rdev);
  return NodeCheck::kCharDevice;
}

std::vector<std::string> split_words(std::span<const char* const> args) {
  std::vector<std::string> words;
  for (const char* arg : args) {
    std::string_view word(arg);
    std::size_t eq = word.find('=');
    if (eq == std::string_view::npos) {
      words.emplace_back(word);
    } else {
      words.emplace_back(word.substr(0, eq));
      words.emplace_back(word.substr(eq + 1));
    }
  }
  return words;
}

int open_under_alarm(const char* path, unsigned seconds, const OpenTimeout& on_timeout) {
  timeout_len = std::min(on_timeout.message.size(), timeout_text.size());
  std::memcpy(timeout_text.data(), on_timeout.message.data(), timeout_len);
  timeout_fd = on_timeout.fd;
  timeout_status = on_timeout.status;

  struct sigaction sa {};
  sa.sa_handler = on_open_alarm;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGALRM, &sa, nullptr);

  ::alarm(seconds);
  int fd = qdev::open(path, O_RDWR | O_NDELAY);
  int err = errno;
  ::alarm(0);
  if (fd < 0) {
    errno = err;
    return -1;
  }
  if (qdev::fcntl(fd, F_SETFL, 0) != 0) {
    err = errno;
    qdev::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

void report_errno(std::FILE* out, const char* prefix, int err) {
  const char* text = std::strerror(err);
  if (prefix != nullptr && *prefix != '\0') {
    std::fprintf(out, "%s: %s\n", prefix, text);
  } else {
    std::fprintf(out, "%s\n", text);
  }
}

void report_errno(std::FILE* out, const char* prefix) {
  report_errno(out, prefix, errno);
}

} // namespace kv
