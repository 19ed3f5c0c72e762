// Console messages of the driver: the one logging function with its unit or line prefix
// and level filter, the assertion message, and the console dump of one FAS command.
#pragma once

#include <cstdint>
#include <source_location>

#include "ksys/mutex.h"

struct qd_unit;
struct qd_line;

inline constexpr const char* QD_RELEASE = "R3.014";

// Level of unit messages (those without a line); a new line record copies it.
extern std::uint32_t qd_err_level;

// Prints prefix + message + newline at CE_CONT when level is at most the line's error
// level (with a line) or qd_err_level (without). The prefix names the unit, and the line
// when there is one. The whole text is held to 160 bytes; a longer one is cut short but
// keeps its newline. A null unit stands for the line's unit, or for global_unit.
void qdlogerr(unsigned level, qd_unit* up, qd_line* lp, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// The assertion message at CE_WARN, with an explicit place.
void qd_assert_msg(const char* expr, const char* file, int line);
// The assertion message for a broken invariant; the caller then takes its failure path.
inline void qd_assert_failed(const char* expr,
                             std::source_location where = std::source_location::current()) {
  qd_assert_msg(expr, where.file_name(), static_cast<int>(where.line()));
}
// True when ok; otherwise prints the assertion message naming expr and the caller's place.
inline bool qd_assert(bool ok, const char* expr,
                      std::source_location where = std::source_location::current()) {
  if (!ok) {
    qd_assert_failed(expr, where);
  }
  return ok;
}

// Debug builds check each lock a routine's callers must hold; release builds leave the
// checks out (NDEBUG).
#ifdef NDEBUG
inline constexpr bool qd_lock_checks = false;
#else
inline constexpr bool qd_lock_checks = true;
#endif

// The assertion message for a lock the caller should hold, then a panic: a path that
// breaks a locking rule must not go on. `what` names the lock ("unit_mutex").
[[noreturn]] void qd_lock_assert_failed(const char* what, const char* file, int line);

// At the entry of a routine whose callers hold *mp. Named by the mutex's own name.
inline void
qd_assert_held([[maybe_unused]] const kmutex_t* mp,
               [[maybe_unused]] std::source_location where = std::source_location::current()) {
  if constexpr (qd_lock_checks) {
    if (mutex_owned(mp) == 0) {
      qd_lock_assert_failed(mp != nullptr && mp->name != nullptr ? mp->name : "?",
                            where.file_name(), static_cast<int>(where.line()));
    }
  }
}

// The mutex that guards a unit record's chain and transport: "unit_mutex", or on
// global_unit (which has none of its own) the diagnostic line's "qd_diag_mutex".
const kmutex_t* qd_unit_lock(const qd_unit* up);
inline void
qd_assert_unit_held([[maybe_unused]] const qd_unit* up,
                    [[maybe_unused]] std::source_location where = std::source_location::current()) {
  if constexpr (qd_lock_checks) {
    qd_assert_held(qd_unit_lock(up), where);
  }
}

// The calling context sleeps for that many clock ticks.
void qddelay(long ticks);

// "label: xxxxxxxx xxxxxxxx (name)" at CE_CONT for an 8-byte FAS header.
void qdshowfascmd(const char* label, const unsigned char* cmd);
