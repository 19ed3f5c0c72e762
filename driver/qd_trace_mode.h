// The build's trace mode. The build defines TRACER, and UTRACE or LTRACE with it; this is
// the only place that looks at those macros. Everything else tests the constants below
// with `if constexpr`.
#pragma once

#include <cstddef>

enum class qd_trace_mode_t { none, global, unit, line };

#if defined(TRACER) && defined(UTRACE) && defined(LTRACE)
#error "UTRACE and LTRACE exclude each other"
#elif defined(TRACER) && defined(UTRACE)
inline constexpr qd_trace_mode_t qd_trace_mode = qd_trace_mode_t::unit;
#elif defined(TRACER) && defined(LTRACE)
inline constexpr qd_trace_mode_t qd_trace_mode = qd_trace_mode_t::line;
#elif defined(TRACER)
inline constexpr qd_trace_mode_t qd_trace_mode = qd_trace_mode_t::global;
#elif defined(UTRACE) || defined(LTRACE)
#error "UTRACE and LTRACE need TRACER"
#else
inline constexpr qd_trace_mode_t qd_trace_mode = qd_trace_mode_t::none;
#endif

// Rings exist at all.
inline constexpr bool qd_trace_on = qd_trace_mode != qd_trace_mode_t::none;
// Every unit record carries a ring.
inline constexpr bool qd_trace_units = qd_trace_mode == qd_trace_mode_t::unit;
// Every line record carries a ring.
inline constexpr bool qd_trace_lines = qd_trace_mode == qd_trace_mode_t::line;

// Data bytes of every ring of the build. The no-tracer build has no ring; its size is
// only there so that the ring type can be named.
inline constexpr std::size_t QD_TRC_SIZE = qd_trace_mode == qd_trace_mode_t::global ? 131072
                                           : qd_trace_mode == qd_trace_mode_t::unit ? 32768
                                           : qd_trace_mode == qd_trace_mode_t::line ? 8192
                                                                                    : 8;

// The word the load banner uses for the mode.
inline constexpr const char* qd_trace_banner =
    qd_trace_mode == qd_trace_mode_t::global ? "(GLOBAL TRACING) "
    : qd_trace_mode == qd_trace_mode_t::unit ? "(UNIT TRACING) "
    : qd_trace_mode == qd_trace_mode_t::line ? "(LINE TRACING) "
                                             : "";
