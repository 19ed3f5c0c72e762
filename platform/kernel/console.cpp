// The kernel console: cmn_err and panic, printed into a buffer that tests read or onto
// standard error (qdhost).
#include "kemu/console.h"
#include "kemu/host_log.h"
#include "ksys/cmn_err.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

namespace {

struct Console {
  std::mutex mutex;
  std::string buf; // guarded by mutex
  std::atomic<bool> to_stderr{false};
};

// Built on first use: messages may come from other objects' constructors.
Console& console() {
  static Console c;
  return c;
}

std::string vformat(const char* fmt, va_list ap) {
  va_list probe;
  va_copy(probe, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, probe);
  va_end(probe);
  if (n <= 0)
    return {};
  std::string s(static_cast<std::size_t>(n), '\0');
  std::vsnprintf(s.data(), s.size() + 1, fmt, ap);
  return s;
}

void put(const std::string& text) {
  Console& c = console();
  if (c.to_stderr.load()) {
    kemu::log_text(text); // buffered in qdhost: the CPU thread never waits for the reader
    return;
  }
  std::lock_guard lock(c.mutex);
  c.buf += text;
}

[[noreturn]] void stop(const std::string& text) {
  const std::string line = "panic: " + text + "\n";
  if (!console().to_stderr.load())
    put(line);
  // Both buffers die with the process; say why it stopped where a person can see it.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::abort();
}

} // namespace

void cmn_err(int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  switch (level) {
  case CE_NOTE:
    put("NOTICE: " + text + "\n");
    break;
  case CE_WARN:
    put("WARNING: " + text + "\n");
    break;
  case CE_PANIC:
    stop(text);
  default:
    put(text);
    break;
  }
}

void panic(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  stop(text);
}

namespace kemu {

void console_to_stderr(bool on) {
  console().to_stderr.store(on);
}

std::string console_text() {
  Console& c = console();
  std::lock_guard lock(c.mutex);
  return c.buf;
}

std::string take_console() {
  Console& c = console();
  std::lock_guard lock(c.mutex);
  return std::exchange(c.buf, {});
}

} // namespace kemu
