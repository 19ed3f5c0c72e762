// The terminal as the SCSI unit tools meet it: standard output and error, input lines, and
// the pauses and screen clearing of the interactive screens. The programs use StdConsole;
// tests put their own in its place, so that a pause moves an emulated clock instead of
// sleeping.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kvscsi {

// Longest input line kept: the tools read into a 100-byte buffer.
inline constexpr std::size_t kLineMax = 99;

class Console {
public:
  virtual ~Console() = default;

  virtual void out(std::string_view text) = 0;
  virtual void err(std::string_view text) = 0;
  virtual void pause(unsigned seconds) = 0;
  // Runs "clear" and leaves standard output unbuffered.
  virtual void clear_screen() = 0;

  void outf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void errf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The system's text for errno on standard error, as perror with no prefix writes it.
  virtual void error_text(int errnum);

  // One line without its end, cut to kLineMax characters (the rest of a longer line is
  // dropped, not left for the next read); none at end of input.
  std::optional<std::string> line();

protected:
  virtual std::optional<std::string> next_line() = 0;
};

class StdConsole final : public Console {
public:
  // Sets standard output unbuffered.
  StdConsole();

  void out(std::string_view text) override;
  void err(std::string_view text) override;
  void pause(unsigned seconds) override;
  void clear_screen() override;
  void error_text(int errnum) override;

protected:
  std::optional<std::string> next_line() override;
};

} // namespace kvscsi
