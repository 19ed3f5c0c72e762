// kvstty's merge of requested settings (apply_options).
#include "kvstty/merge.h"

#include <cstdio>
#include <cstring>

#include "ksys/termios.h"
#include "qdio.h"
#include "qmx_unittab.h"

namespace kvstty {
namespace {

std::string format(const char* fmt, auto... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

void set_ext(qd_ext_ctl& xc, unsigned ext) {
  xc.control = (xc.control & ~QDX_SPEED_EXT) | ((ext << QDX_SPEED_EXT_SHIFT) & QDX_SPEED_EXT);
}

// The input speed follows the output speed.
void clear_input_speed(Variant v, termios& t) {
  t.c_cflag &= ~CIBAUD;
  if (v == Variant::kCbaudext) {
    t.c_cflag &= ~CIBAUDEXT;
  }
}

void sane(Variant v, termios& t, qd_ext_ctl& xc) {
  t.c_cflag = (t.c_cflag & ~CBAUD) | B9600;
  clear_input_speed(v, t);
  if (v == Variant::kCbaudext) {
    t.c_cflag &= ~CBAUDEXT;
  }
  xc.control = 1;
  xc.lcltmr = 300;
  xc.cltmr = 60;
  xc.dtrdel = 200;
  xc.grddel = 20;
  xc.louttmr = 0;
  xc.outtmr = 0;
}

} // namespace

unsigned baud_ext_limit(unsigned highest_code) {
  switch (highest_code) {
  case 0x2f:
    return 7;
  case 0x22:
    return 5;
  default:
    return 3;
  }
}

std::string product_of(const qd_ext_ctl& xc) {
  return std::string(xc.product, strnlen(xc.product, sizeof xc.product));
}

MergeResult apply_options(const Request& req, Variant v, std::string_view tty_name, termios& t,
                          qd_ext_ctl& xc) {
  MergeResult r;
  r.update_ext = req.update_ext;
  r.update_tty = req.setsane;
  const std::string name(tty_name);
  const std::string product = product_of(xc);
  const qd_unitinfo* model = qdm_get_unitinfo(product.c_str());

  if ((req.baud_ext || req.baudrate) && model == nullptr) {
    // Without its model the port's speed limits are unknown: change no speed setting.
    r.messages = format("%s: product '%s' is not known, speed not changed.\n", name.c_str(),
                        product.c_str());
    r.ok = false;
    return r;
  }

  if (req.setsane) {
    sane(v, t, xc);
  }

  if (req.baud_ext) {
    unsigned limit = baud_ext_limit(model->code & QDM_CODE_SPEED);
    if (*req.baud_ext > limit) {
      r.messages += format("%s: baud extension is more than product ", name.c_str());
      r.messages += format("limit.  Set to limit of %d.\n", static_cast<int>(limit));
      set_ext(xc, limit);
    } else {
      set_ext(xc, *req.baud_ext);
    }
  }

  if (req.baudrate) {
    auto row_index = find_rate(v, *req.baudrate);
    if (!row_index) {
      r.messages +=
          format("Baudrate %llu not supported\n", static_cast<unsigned long long>(*req.baudrate));
      r.ok = false;
      return r;
    }
    const BaudRow& row = baudtab(v)[*row_index];
    if (qdf_check_baud(model, 0, row.fas_code) != 0) {
      r.messages += format("Baudrate %u not supported on this product.\n", row.rate);
      r.ok = false;
      return r;
    }
    int code = row.speed_code;
    if (v == Variant::kCbaudext) {
      if (code > 15) {
        t.c_cflag |= CBAUDEXT;
        code -= 16;
      } else {
        t.c_cflag &= ~CBAUDEXT;
      }
    }
    t.c_cflag = (t.c_cflag & ~CBAUD) | static_cast<tcflag_t>(code);
    clear_input_speed(v, t);
    set_ext(xc, row.ext);
    r.update_ext = true;
    r.update_tty = true;
  }

  if (req.setloop) {
    xc.control = *req.setloop ? xc.control | QDX_LOOPBACK : xc.control & ~QDX_LOOPBACK;
  }
  if (req.level) {
    xc.control = (xc.control & ~QDX_ERR_LEVEL) | (*req.level & QDX_ERR_LEVEL);
  }
  if (req.nonloc_timeout) {
    xc.cltmr = *req.nonloc_timeout;
  }
  if (req.local_timeout) {
    xc.lcltmr = *req.local_timeout;
  }
  if (req.dtr_delay) {
    xc.dtrdel = *req.dtr_delay;
  }
  if (req.guard_delay) {
    xc.grddel = *req.guard_delay;
  }
  if (req.nonloc_waitout) {
    xc.outtmr = *req.nonloc_waitout;
  }
  if (req.local_waitout) {
    xc.louttmr = *req.local_waitout;
  }
  return r;
}

} // namespace kvstty
