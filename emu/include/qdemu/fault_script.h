// Faults a test asks the engine to commit on purpose: commands swallowed without an answer,
// commands refused with a chosen status, answers held back, and malformed answers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "qdemu/clock.h"

namespace qdemu {

// Matches every opcode, or every value of byte 1 (line number or unit parameter).
inline constexpr int kAny = -1;
inline constexpr int kForever = -1;

class FaultScript {
public:
  // The next `times` commands of opcode `op` with byte 1 `line` (kAny for all) are dropped:
  // no effect and no answer.
  void silence(int op, int line = kAny, int times = kForever);
  // The next `times` matching commands are not carried out; each is answered at once with
  // `status` (bytes 3-7 zero).
  void fail_next(int op, int line, std::uint8_t status, int times = 1);
  // Answers of opcode `op` become ready `ticks` after they are made.
  void set_latency(int op, Tick ticks);
  void clear();

  // Used by the engine for each command; a hit uses up one of the rule's times.
  bool take_silence(std::uint8_t op, std::uint8_t line);
  std::optional<std::uint8_t> take_status(std::uint8_t op, std::uint8_t line);
  Tick latency(std::uint8_t op) const { return latency_[op]; }

private:
  struct Rule {
    int op;
    int line;
    int times;
    std::uint8_t status;
  };
  static bool take(std::vector<Rule>& rules, std::uint8_t op, std::uint8_t line,
                   std::uint8_t* status);

  std::vector<Rule> silences_;
  std::vector<Rule> failures_;
  std::array<Tick, 256> latency_{};
};

// Answers the driver must refuse; a test queues them with Engine::inject_answer.
namespace malformed {
// An 8-byte answer with an opcode no unit sends (the default 30 is not a FAS opcode).
std::vector<std::uint8_t> invalid_opcode(std::uint8_t op = 30);
// A FAS_ENABLE answer for a line number the unit does not have.
std::vector<std::uint8_t> line_out_of_range(std::uint8_t line);
// A FAS_RECV answer whose count claims more data than follows it.
std::vector<std::uint8_t> count_past_data(std::uint8_t line, std::uint16_t claimed,
                                          std::uint16_t present);
} // namespace malformed

} // namespace qdemu
