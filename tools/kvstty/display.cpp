// kvstty's display (do_display, get_eff_baud).
#include "kvstty/display.h"

#include <cstdio>
#include <cstring>

#include "ksys/termios.h"
#include "kvstty/merge.h"
#include "qdio.h"

namespace kvstty {
namespace {

constexpr const char* errlevs[16] = {"quiet", "default", "verbose", "3",  "4",  "5",  "6",  "7",
                                     "8",     "9",       "10",      "11", "12", "13", "14", "15"};

void append(std::string& out, const char* fmt, auto... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, args...);
  out += buf;
}

const char* enabled_note(std::uint32_t value) {
  return value == 0 ? "(not enabled)" : "";
}

} // namespace

const char* errlev_name(unsigned level) {
  return errlevs[level & QDX_ERR_LEVEL];
}

Display do_display(const Request& req, Variant v, std::string_view tty_name, const termios& t,
                   const qd_ext_ctl& xc) {
  Display d;
  if (!req.display_default && !req.display_all) {
    return d;
  }
  auto row = effective_row(v, t, xc.control);
  if (!row) {
    d.ok = false;
    d.text = "Effective baud rate out of range!\n";
    return d;
  }
  const std::string name(tty_name);
  const char* speed = baudtab(v)[*row].name;
  const char* loop = (xc.control & QDX_LOOPBACK) != 0 ? "on" : "off";
  const char* level = errlev_name(xc.control);
  if (req.verbose) {
    append(d.text, "Port=%s\n", name.c_str());
    append(d.text, "Effective baud rate: %s\n", speed);
    append(d.text, "Hardware local loopback: %s\n", loop);
    append(d.text, "Error reporting level: %s\n", level);
  } else {
    append(d.text, "(%s) %s loop=%s errlev=%s\n", name.c_str(), speed, loop, level);
  }
  if (!req.display_all) {
    return d;
  }
  const unsigned long ext = (xc.control & QDX_SPEED_EXT) >> QDX_SPEED_EXT_SHIFT;
  const unsigned dtrdel = xc.dtrdel * 10;
  const unsigned grddel = xc.grddel * 10;
  const std::string product = product_of(xc);
  const std::string firmware(xc.firmware, strnlen(xc.firmware, sizeof xc.firmware));
  const unsigned target = xc.target;
  if (req.verbose) {
    append(d.text, "Baud rate extension factor: %lu\n", ext);
    append(d.text, "Close watchdog timer: %u secs %s\n", xc.cltmr, enabled_note(xc.cltmr));
    append(d.text, "Local close watchdog timer: %u secs %s\n", xc.lcltmr, enabled_note(xc.lcltmr));
    append(d.text, "DTR delay timer: %u millisecs %s\n", dtrdel, enabled_note(dtrdel));
    append(d.text, "Guard band delay timer: %u millisecs %s\n", grddel, enabled_note(grddel));
    append(d.text, "Output completion watchdog timer: %u secs %s\n", xc.outtmr,
           enabled_note(xc.outtmr));
    append(d.text, "Local output completion watchdog timer: %u secs %s\n", xc.louttmr,
           enabled_note(xc.louttmr));
    append(d.text, "Product ID: %s\nFirmware version: %s\n", product.c_str(), firmware.c_str());
    append(d.text, "target ID: %u\n", target);
  } else {
    append(d.text, "baudext=%lu cltmr=%u lcltmr=%u\n", ext, xc.cltmr, xc.lcltmr);
    append(d.text, "dtrdel=%u grddel=%u outtmr=%u louttmr=%u\n", dtrdel, grddel, xc.outtmr,
           xc.louttmr);
    append(d.text, "product=%s fwver=%s  targetid=%u\n", product.c_str(), firmware.c_str(), target);
  }
  return d;
}

} // namespace kvstty
