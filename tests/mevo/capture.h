// Catching what the code under test writes: a screen (a pipe the test reads back) and the
// process's standard error for the length of a scope.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace mevotest {

// A pipe standing in for the user's screen. Everything written is kept until take().
class Screen {
public:
  Screen() { ::pipe2(p_, O_CLOEXEC | O_NONBLOCK); }
  ~Screen() {
    ::close(p_[0]);
    ::close(p_[1]);
  }
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;
  int fd() const { return p_[1]; }
  // What was written since the last take.
  std::string take() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(p_[0], buf, sizeof buf)) > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

private:
  int p_[2] = {-1, -1};
};

// Standard error goes to a file while this lives; text() reads it back.
class CapturedStderr {
public:
  CapturedStderr() {
    std::fflush(stderr);
    saved_ = ::dup(2);
    std::FILE* f = std::tmpfile();
    file_ = ::dup(::fileno(f));
    std::fclose(f);
    ::dup2(file_, 2);
  }
  ~CapturedStderr() {
    restore();
    ::close(file_);
  }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;
  std::string text() {
    std::fflush(stderr);
    std::string out;
    char buf[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = ::pread(file_, buf, sizeof buf, at)) > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      at += n;
    }
    return out;
  }

private:
  void restore() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      ::dup2(saved_, 2);
      ::close(saved_);
      saved_ = -1;
    }
  }
  int saved_ = -1;
  int file_ = -1;
};

} // namespace mevotest
