// Console logging with unit and line prefixes, the assertion message, the delay wrapper
// and the dump of one FAS command.
#include "qd_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fas.h"
#include "ksys/cmn_err.h"
#include "ksys/time.h"
#include "qd_line.h"
#include "qd_unit.h"

namespace {

constexpr std::size_t LOGBUF = 160; // prefix, message, newline and the NUL

// snprintf's count is what it wanted to write; what it wrote is bounded by the room.
std::size_t written(int want, std::size_t room) {
  if (want < 0 || room == 0) {
    return 0;
  }
  return static_cast<std::size_t>(want) < room ? static_cast<std::size_t>(want) : room - 1;
}

std::size_t prefix(char* buf, std::size_t room, const qd_unit* up, const qd_line* lp) {
  const auto bus = static_cast<unsigned>(up->qdu_bus);
  const auto target = static_cast<unsigned>(up->qdu_target);
  int n;
  if (lp != nullptr) {
    const unsigned line = lp->line_num;
    if (qdu_is_pod(up)) {
      n = std::snprintf(buf, room, "Orvane QMX %u/%u pod %u line %u: ", bus, target, line / 18,
                        line % 18);
    } else if (qdu_is_lanvara(up)) {
      n = std::snprintf(buf, room, "Orvane vrn%x line %u: ", target, line);
    } else {
      n = std::snprintf(buf, room, "Orvane QMX %u/%u line %u: ", bus, target, line);
    }
  } else if (qdu_is_lanvara(up)) {
    n = std::snprintf(buf, room, "Orvane vrn%x: ", target);
  } else {
    n = std::snprintf(buf, room, "Orvane QMX %u/%u: ", bus, target);
  }
  return written(n, room);
}

} // namespace

void qdlogerr(unsigned level, qd_unit* up, qd_line* lp, const char* fmt, ...) {
  const std::uint32_t allowed = lp != nullptr ? lp->err_level : qd_err_level;
  if (allowed < level) {
    return;
  }
  if (up == nullptr) {
    up = lp != nullptr && lp->unit != nullptr ? lp->unit : &global_unit;
  }
  char buf[LOGBUF];
  // The last byte before the NUL is kept for the newline.
  constexpr std::size_t room = LOGBUF - 1;
  std::size_t len = prefix(buf, room, up, lp);
  va_list ap;
  va_start(ap, fmt);
  len += written(std::vsnprintf(buf + len, room - len, fmt, ap), room - len);
  va_end(ap);
  buf[len++] = '\n';
  buf[len] = '\0';
  cmn_err(CE_CONT, "%s", buf);
}

namespace {
void assert_failed(int level, const char* expr, const char* file, int line) {
  const char* slash = std::strrchr(file, '/');
  cmn_err(level,
          "| Assertion failed in qd: %s\n"
          "         | file: %s, line: %d, version: %s\n"
          "         | Contact Orvane for assistance.",
          expr, slash != nullptr ? slash + 1 : file, line, QD_RELEASE);
}
} // namespace

void qd_assert_msg(const char* expr, const char* file, int line) {
  assert_failed(CE_WARN, expr, file, line);
}

void qd_lock_assert_failed(const char* what, const char* file, int line) {
  char expr[64];
  std::snprintf(expr, sizeof expr, "mutex_owned(%s)", what);
  assert_failed(CE_PANIC, expr, file, line);
  std::abort(); // cmn_err does not return at CE_PANIC
}

const kmutex_t* qd_unit_lock(const qd_unit* up) {
  return up == &global_unit ? &qd_diag_mutex : &up->unit_mutex;
}

void qddelay(long ticks) {
  delay(ticks);
}

void qdshowfascmd(const char* label, const unsigned char* cmd) {
  cmn_err(CE_CONT, "%s: %02x%02x%02x%02x %02x%02x%02x%02x (%s)\n", label, cmd[0], cmd[1], cmd[2],
          cmd[3], cmd[4], cmd[5], cmd[6], cmd[7], fas_cmd_name(cmd[0]));
}
