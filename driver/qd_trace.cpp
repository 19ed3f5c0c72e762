// The trace ring writers. A record costs one mutex hold and a character loop: no
// allocation, no formatting library, no console output but at set-up and for a bad ring.
#include "qd_trace.h"

#include <cstdarg>
#include <cstdint>

#include "ksys/cmn_err.h"

namespace {

constexpr char hex[] = "0123456789abcdef";

class ring_writer {
public:
  explicit ring_writer(qd_trace_ring* r) : r_(r) {
    // A cursor that is not inside the data (an overwritten ring) starts over.
    if (r_->cursor < r_->data || r_->cursor >= r_->data + QD_TRC_SIZE) {
      r_->cursor = r_->data;
    }
  }
  void put(char c) {
    *r_->cursor++ = c;
    if (r_->cursor >= r_->data + QD_TRC_SIZE) {
      r_->cursor = r_->data;
    }
  }
  void hex_digits(std::uintmax_t v, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
      put(hex[(v >> shift) & 0xf]);
    }
  }
  // The mark stays under the cursor: the next record overwrites it.
  void end_mark() { *r_->cursor = '~'; }

private:
  qd_trace_ring* r_;
};

void write_record(qd_trace_ring* ring, const char* fmt, va_list ap, bool driver_level) {
  mutex_enter(&ring->trace_mutex);
  ring_writer w(ring);
  for (const char* f = fmt; *f != '\0'; ++f) {
    switch (*f) {
    case '$':
      for (auto* s = static_cast<const char*>(va_arg(ap, const void*)); s != nullptr && *s != 0;
           ++s) {
        w.put(*s);
      }
      break;
    case '%':
      w.hex_digits(va_arg(ap, unsigned), 8);
      break;
    case '~':
      w.hex_digits(va_arg(ap, unsigned) & 0xff, 2);
      break;
    case '^': {
      const auto* b = static_cast<const unsigned char*>(va_arg(ap, const void*));
      if (b == nullptr) {
        break;
      }
      for (int i = 0; i < 8; ++i) {
        if (i == 4) {
          w.put(' ');
        }
        w.hex_digits(b[i], 2);
      }
      break;
    }
    case '&':
      if (driver_level) {
        const auto p = reinterpret_cast<std::uintptr_t>(va_arg(ap, const void*));
        w.hex_digits(p, 2 * sizeof p);
        break;
      }
      w.put(*f);
      break;
    default:
      w.put(*f);
      break;
    }
  }
  w.end_mark();
  mutex_exit(&ring->trace_mutex);
}

void note_setup(qd_trace_ring* ring) {
  if (ring == qd_ring_of(qd_trcbuf)) {
    cmn_err(CE_NOTE, "qd_trcbuf at %p", static_cast<void*>(ring));
  } else {
    cmn_err(CE_NOTE, "itrcbuf at %p", static_cast<void*>(ring));
    qd_tracer("itrcbuf at &\n", static_cast<const void*>(ring));
  }
}

} // namespace

void qd_trace_ring_setup(qd_trace_ring* ring) {
  note_setup(ring);
  ring->magic = QD_TRC_MAGIC;
  mutex_init(&ring->trace_mutex, "trace_mutex", MUTEX_DRIVER, nullptr);
  ring->cursor = ring->data;
  ring->end = ring->data + QD_TRC_SIZE;
  ring->initialised = 1;
}

void qd_tracer(const char* fmt, ...) {
  qd_trace_ring* ring = qd_ring_of(qd_trcbuf);
  if (ring == nullptr) {
    return;
  }
  if (ring->initialised == 0) {
    qd_trace_ring_setup(ring);
  }
  va_list ap;
  va_start(ap, fmt);
  write_record(ring, fmt, ap, true);
  va_end(ap);
}

void qd_itracer(qd_trace_ring* ring, const char* fmt, ...) {
  if (ring != nullptr && ring->initialised == 0) {
    qd_trace_ring_setup(ring);
  }
  if (ring == nullptr || ring->magic != QD_TRC_MAGIC) {
    cmn_err(CE_NOTE, "bad rec buf ptr in qd_itracer=%p, mesg='%s'", static_cast<void*>(ring), fmt);
    qd_tracer("bad trc buf ptr in qd_itracer = &\n, mesg=$", static_cast<const void*>(ring),
              static_cast<const void*>(fmt));
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  write_record(ring, fmt, ap, false);
  va_end(ap);
}
