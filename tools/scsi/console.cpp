#include "console.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kvutils.h"

namespace kvscsi {
namespace {

std::string vformat(const char* fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  std::string text;
  if (n > 0) {
    std::vector<char> buf(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, again);
    text.assign(buf.data(), static_cast<std::size_t>(n));
  }
  va_end(again);
  return text;
}

} // namespace

void Console::outf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const std::string text = vformat(fmt, args);
  va_end(args);
  out(text);
}

void Console::errf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const std::string text = vformat(fmt, args);
  va_end(args);
  err(text);
}

void Console::error_text(int errnum) {
  err(std::string(std::strerror(errnum)) + "\n");
}

std::optional<std::string> Console::line() {
  std::optional<std::string> l = next_line();
  if (l && l->size() > kLineMax) {
    l->resize(kLineMax);
  }
  return l;
}

StdConsole::StdConsole() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void StdConsole::out(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void StdConsole::err(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void StdConsole::pause(unsigned seconds) {
  ::sleep(seconds);
}

void StdConsole::clear_screen() {
  std::fflush(stdout);
  // What "clear" says or fails to do is of no consequence to the screens that follow.
  [[maybe_unused]] const int rc = std::system("clear");
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void StdConsole::error_text(int errnum) {
  kv::report_errno(stderr, nullptr, errnum);
}

std::optional<std::string> StdConsole::next_line() {
  std::string l;
  int c = 0;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
    l.push_back(static_cast<char>(c));
  }
  if (c == EOF && l.empty()) {
    return std::nullopt;
  }
  return l;
}

} // namespace kvscsi
