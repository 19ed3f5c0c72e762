#include "qdemu/fault_script.h"

#include <algorithm>

#include "fas.h"

namespace qdemu {

void FaultScript::silence(int op, int line, int times) {
  if (times == 0)
    return;
  silences_.push_back({op, line, times, 0});
}

void FaultScript::fail_next(int op, int line, std::uint8_t status, int times) {
  if (times == 0)
    return;
  failures_.push_back({op, line, times, status});
}

void FaultScript::set_latency(int op, Tick ticks) {
  if (op == kAny) {
    latency_.fill(ticks);
    return;
  }
  latency_.at(static_cast<std::size_t>(op)) = ticks;
}

void FaultScript::clear() {
  silences_.clear();
  failures_.clear();
  latency_.fill(0);
}

bool FaultScript::take(std::vector<Rule>& rules, std::uint8_t op, std::uint8_t line,
                       std::uint8_t* status) {
  for (auto it = rules.begin(); it != rules.end(); ++it) {
    if ((it->op != kAny && it->op != op) || (it->line != kAny && it->line != line))
      continue;
    if (status != nullptr)
      *status = it->status;
    if (it->times > 0 && --it->times == 0)
      rules.erase(it);
    return true;
  }
  return false;
}

bool FaultScript::take_silence(std::uint8_t op, std::uint8_t line) {
  return take(silences_, op, line, nullptr);
}

std::optional<std::uint8_t> FaultScript::take_status(std::uint8_t op, std::uint8_t line) {
  std::uint8_t status = 0;
  if (!take(failures_, op, line, &status))
    return std::nullopt;
  return status;
}

namespace malformed {

std::vector<std::uint8_t> invalid_opcode(std::uint8_t op) {
  return {op, 0, 0, 0, 0, 0, 0, 0};
}

std::vector<std::uint8_t> line_out_of_range(std::uint8_t line) {
  return {FAS_ENABLE, line, FAS_ST_OK, 0, 0, 0, 0, 0};
}

std::vector<std::uint8_t> count_past_data(std::uint8_t line, std::uint16_t claimed,
                                          std::uint16_t present) {
  std::vector<std::uint8_t> a{FAS_RECV, line, FAS_ST_OK, 0, 0, 0, 0, 0};
  fas_put16(&a[4], claimed);
  a.resize(a.size() + present, 'x');
  return a;
}

} // namespace malformed

} // namespace qdemu
