// Trace call sites. Each record is of one of three kinds, and the build's trace mode
// decides the ring:
//
//   kind                         global     unit                 line
//   driver-level (qd_trace_drv)  qd_trcbuf  qd_trcbuf            qd_trcbuf
//   unit-level   (qd_trace_unit) qd_trcbuf  the unit's ring      qd_trcbuf
//   line-level   (qd_trace_line) qd_trcbuf  the line unit's ring the line's ring
//
// Without a tracer the calls do nothing. Formats are checked against their arguments at
// compile time; '&' converts only in driver-level records.
#pragma once

#include "qd_line.h"
#include "qd_trace.h"
#include "qd_unit.h"

// The ring that unit-level records of the unit go to (null without a tracer).
inline qd_trace_ring* qd_unit_ring(qd_unit* up) {
  if constexpr (qd_trace_units) {
    if (up != nullptr) {
      return qd_ring_of(up->qdu_trc);
    }
  }
  return qd_ring_of(qd_trcbuf);
}

// The ring that line-level records of the line go to (null without a tracer).
inline qd_trace_ring* qd_line_ring(qd_line* lp) {
  if constexpr (qd_trace_lines) {
    if (lp != nullptr) {
      return qd_ring_of(lp->qdl_trc);
    }
  }
  if constexpr (qd_trace_units) {
    if (lp != nullptr) {
      return qd_unit_ring(lp->unit);
    }
  }
  return qd_ring_of(qd_trcbuf);
}

template <class... A> inline void qd_trace_unit(qd_unit* up, qd_ifmt<A...> fmt, A... args) {
  if constexpr (qd_trace_on) {
    qd_itracer(qd_unit_ring(up), fmt.text, qd_trace_detail::arg(args)...);
  }
}

template <class... A> inline void qd_trace_line(qd_line* lp, qd_ifmt<A...> fmt, A... args) {
  if constexpr (qd_trace_on) {
    qd_itracer(qd_line_ring(lp), fmt.text, qd_trace_detail::arg(args)...);
  }
}

// The line's FAS command log and its line-level record, for a command queued for the
// line ("C") and for an answer of the line ("R", stored with bit 7 of the opcode set).
void qdf_logfasout(qd_line* lp, const unsigned char* cmd);
void qdf_logfasin(qd_line* lp, const unsigned char* answer);
// Prints a statistics answer's data on the console in pieces of at most 40 characters.
void qdf_display_statistics(const unsigned char* text, int length);
