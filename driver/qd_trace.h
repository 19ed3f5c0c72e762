// Trace rings: fixed-size text buffers that wrap, with one '~' marking where the newest
// text ends. Which rings exist is the build's trace mode (qd_trace_mode.h).
//
// A record is a format whose characters are stored one by one; these take an argument:
//   '$' a text          '%' a 32-bit value as 8 hex digits     '~' a value's low byte
//   '^' 8 bytes as "xxxxxxxx xxxxxxxx"   '&' a pointer, full width (qd_tracer only)
// Records carry no time and no length. The trace call sites (qd_trace_route.h) check each
// format against its arguments at compile time.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ksys/mutex.h"
#include "qd_trace_mode.h"

struct fas_header;

inline constexpr std::uint32_t QD_TRC_MAGIC = 0x54726321;

struct qd_trace_ring {
  std::uint32_t magic; // QD_TRC_MAGIC once set up
  char data[QD_TRC_SIZE];
  std::uint8_t initialised; // the byte right behind the data: its address is the ring's end
  char* cursor;             // next character position in data
  char* end;                // data + QD_TRC_SIZE
  kmutex_t trace_mutex;     // guards cursor and data
};
static_assert(std::is_trivial_v<qd_trace_ring>);
static_assert(offsetof(qd_trace_ring, initialised) == offsetof(qd_trace_ring, data) + QD_TRC_SIZE);

// Stands in a record where the build has no ring; takes no room at the end of a record.
struct qd_no_trace_ring {};
template <bool On> using qd_trace_ring_if = std::conditional_t<On, qd_trace_ring, qd_no_trace_ring>;

// The ring held in a record, or null where the build has none.
inline qd_trace_ring* qd_ring_of(qd_trace_ring& r) {
  return &r;
}
inline qd_trace_ring* qd_ring_of(qd_no_trace_ring&) {
  return nullptr;
}

// The driver-wide ring (every build but the no-tracer one).
extern qd_trace_ring_if<qd_trace_on> qd_trcbuf;

// One record into qd_trcbuf ('&' is a conversion here). Arguments: '%' and '~' an
// unsigned int, '$' a const char*, '^' and '&' a const void*; the call sites of
// qd_trace_route.h convert them. Does nothing in the no-tracer build.
void qd_tracer(const char* fmt, ...);
// One record into the given ring ('&' is stored as itself). A ring whose magic is wrong
// gets no text: a console note and a driver-wide record say so.
void qd_itracer(qd_trace_ring* ring, const char* fmt, ...);
// Sets a zeroed ring up (done by the first record into it; also callable when the record
// holding the ring is created). Prints the ring's address on the console.
void qd_trace_ring_setup(qd_trace_ring* ring);

// ---- Compile-time check of trace formats -------------------------------------------------

namespace qd_trace_detail {

// Reached only when a format does not fit its arguments: a compile error names it.
void format_has_more_conversions_than_arguments();
void format_has_fewer_conversions_than_arguments();
void percent_or_tilde_needs_an_integer();
void dollar_needs_a_text();
void caret_needs_a_pointer_to_bytes();
void ampersand_needs_a_pointer();

// v: integer, t: text, b: bytes, p: other object pointer, ?: unusable.
template <class T> consteval char kind_of() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) {
    return 'v';
  } else if constexpr (std::is_pointer_v<U>) {
    using P = std::remove_cv_t<std::remove_pointer_t<U>>;
    if constexpr (std::is_same_v<P, char>) {
      return 't';
    } else if constexpr (std::is_same_v<P, unsigned char> || std::is_same_v<P, signed char> ||
                         std::is_void_v<P> || std::is_same_v<P, fas_header>) {
      return 'b';
    } else if constexpr (std::is_object_v<P>) {
      return 'p';
    } else {
      return '?';
    }
  } else {
    return '?';
  }
}

template <bool DriverLevel, class... A> consteval void check(const char* s) {
  constexpr char kinds[] = {kind_of<A>()..., '\0'};
  std::size_t n = 0;
  for (; *s != '\0'; ++s) {
    const char c = *s;
    if (c != '%' && c != '~' && c != '$' && c != '^' && !(DriverLevel && c == '&')) {
      continue;
    }
    if (n == sizeof...(A)) {
      format_has_more_conversions_than_arguments();
    }
    const char k = kinds[n++];
    if ((c == '%' || c == '~') && k != 'v') {
      percent_or_tilde_needs_an_integer();
    }
    if (c == '$' && k != 't') {
      dollar_needs_a_text();
    }
    if (c == '^' && k != 'b' && k != 't') {
      caret_needs_a_pointer_to_bytes();
    }
    if (c == '&' && k != 'b' && k != 't' && k != 'p') {
      ampersand_needs_a_pointer();
    }
  }
  if (n != sizeof...(A)) {
    format_has_fewer_conversions_than_arguments();
  }
}

// What the variadic writers read for each argument.
template <class T> inline auto arg(T v) {
  if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
    return static_cast<unsigned>(v);
  } else {
    return static_cast<const void*>(v);
  }
}

} // namespace qd_trace_detail

// A trace format checked against the argument types A at compile time.
template <bool DriverLevel, class... A> struct qd_trace_format {
  const char* text;
  consteval qd_trace_format(const char* s) : text(s) {
    qd_trace_detail::check<DriverLevel, A...>(s);
  }
};
// Driver-level formats ('&' converts) and formats of unit and line records.
template <class... A> using qd_dfmt = qd_trace_format<true, std::type_identity_t<A>...>;
template <class... A> using qd_ifmt = qd_trace_format<false, std::type_identity_t<A>...>;

// A record of driver-wide activity: always qd_trcbuf; nothing without a tracer.
template <class... A> inline void qd_trace_drv(qd_dfmt<A...> fmt, A... args) {
  if constexpr (qd_trace_on) {
    qd_tracer(fmt.text, qd_trace_detail::arg(args)...);
  }
}

// A record into a ring the caller chose (checked like the unit and line records).
template <class... A>
inline void qd_trace_ring_rec(qd_trace_ring* ring, qd_ifmt<A...> fmt, A... args) {
  if constexpr (qd_trace_on) {
    qd_itracer(ring, fmt.text, qd_trace_detail::arg(args)...);
  }
}
