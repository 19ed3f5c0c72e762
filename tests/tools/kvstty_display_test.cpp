// kvstty's display: the effective speed from the termios code and the speed extension, the
// short and verbose forms, and all parameters with -a.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ksys/termios.h"
#include "kvstty/display.h"
#include "qdio.h"

namespace {

using kvstty::Request;
using kvstty::Variant;

struct Port {
  termios t{};
  qd_ext_ctl xc{};
};

Port port_at(tcflag_t cflag, unsigned ext) {
  Port p;
  p.t.c_cflag = CS8 | CREAD | cflag;
  p.xc.control = (ext << QDX_SPEED_EXT_SHIFT) | 1;
  p.xc.lcltmr = 300;
  p.xc.cltmr = 60;
  p.xc.dtrdel = 200;
  p.xc.grddel = 2;
  std::memcpy(p.xc.product, "QMX-8S-115A", 12);
  std::memcpy(p.xc.firmware, "V2.3", 5);
  p.xc.target = 5;
  return p;
}

std::string shown(const Request& r, Variant v, const Port& p) {
  kvstty::Display d = kvstty::do_display(r, v, "STDIN", p.t, p.xc);
  EXPECT_TRUE(d.ok) << d.text;
  return d.text;
}

std::string speed_shown(Variant v, tcflag_t cflag, unsigned ext) {
  Port p = port_at(cflag, ext);
  std::string s = shown(Request{}, v, p);
  // "(STDIN) <speed> loop=..."
  return s.substr(8, s.find(" loop=") - 8);
}

TEST(KvsttyDisplay, EffectiveSpeed) {
  struct Case {
    Variant v;
    tcflag_t cflag;
    unsigned ext;
    const char* name;
  };
  const Case cases[] = {
      {Variant::kCbaudext, B9600, 0, "9600"},
      {Variant::kCbaudext, B134, 0, "134.5"},
      {Variant::kCbaudext, B0, 0, "0 (not supported)"},
      {Variant::kCbaudext, B38400, 3, "115200"},
      {Variant::kCbaudext, CBAUDEXT | (B57600 - 16), 0, "57600"},
      {Variant::kCbaudext, CBAUDEXT | (B57600 - 16), 6, "460800"},
      {Variant::kCbaudext, B9600 | (B50 << IBSHIFT), 1, "19200"},
      {Variant::kSpeedExt, B38400, 0, "38400"},
      {Variant::kSpeedExt, B38400, 1, "57600"},
      {Variant::kSpeedExt, B38400, 7, "460800"},
      {Variant::kSpeedExt, B4800, 2, "19200"},
      {Variant::kSpeedExt, CBAUDEXT | B9600, 0, "9600"}, // this build never reads CBAUDEXT
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(speed_shown(c.v, c.cflag, c.ext), c.name);
  }
}

TEST(KvsttyDisplay, EffectiveSpeedOutOfRange) {
  const Port cases[] = {
      port_at(CBAUDEXT | (B460800 - 16), 1), port_at(B38400, 8),
      port_at(CBAUDEXT | 0x7, 0), // code 23 has no row
  };
  for (const Port& p : cases) {
    kvstty::Display d = kvstty::do_display(Request{}, Variant::kCbaudext, "x", p.t, p.xc);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.text, "Effective baud rate out of range!\n");
  }
  Port p = port_at(B38400, 8);
  EXPECT_FALSE(kvstty::do_display(Request{}, Variant::kSpeedExt, "x", p.t, p.xc).ok);
}

TEST(KvsttyDisplay, ShortForm) {
  Port p = port_at(B9600, 0);
  EXPECT_EQ(shown(Request{}, Variant::kCbaudext, p), "(STDIN) 9600 loop=off errlev=default\n");
  p.xc.control = QDX_LOOPBACK | 0;
  EXPECT_EQ(shown(Request{}, Variant::kCbaudext, p), "(STDIN) 9600 loop=on errlev=quiet\n");
  p.xc.control = 2;
  EXPECT_EQ(shown(Request{}, Variant::kCbaudext, p), "(STDIN) 9600 loop=off errlev=verbose\n");
  p.xc.control = 15;
  EXPECT_EQ(shown(Request{}, Variant::kCbaudext, p), "(STDIN) 9600 loop=off errlev=15\n");
}

TEST(KvsttyDisplay, NothingWithoutTheDefaultDisplayOrAll) {
  Request r;
  r.display_default = false;
  Port p = port_at(B38400, 9); // out of range is not even looked at
  kvstty::Display d = kvstty::do_display(r, Variant::kCbaudext, "a", p.t, p.xc);
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.text, "");
  r.display_all = true;
  p = port_at(B9600, 0);
  EXPECT_NE(kvstty::do_display(r, Variant::kCbaudext, "a", p.t, p.xc).text, "");
}

TEST(KvsttyDisplay, AllParametersShortForm) {
  Request r;
  r.display_all = true;
  Port p = port_at(B38400, 2);
  EXPECT_EQ(shown(r, Variant::kCbaudext, p), "(STDIN) 76800 loop=off errlev=default\n"
                                             "baudext=2 cltmr=60 lcltmr=300\n"
                                             "dtrdel=2000 grddel=20 outtmr=0 louttmr=0\n"
                                             "product=QMX-8S-115A fwver=V2.3  targetid=5\n");
}

TEST(KvsttyDisplay, VerboseForms) {
  Request r;
  r.verbose = true;
  Port p = port_at(B9600, 0);
  p.xc.control |= QDX_LOOPBACK;
  EXPECT_EQ(shown(r, Variant::kCbaudext, p), "Port=STDIN\n"
                                             "Effective baud rate: 9600\n"
                                             "Hardware local loopback: on\n"
                                             "Error reporting level: default\n");
  r.display_all = true;
  p.xc.outtmr = 12;
  std::memcpy(p.xc.product, "QMX2-7POD-8S1P57", 16); // no NUL
  EXPECT_EQ(shown(r, Variant::kCbaudext, p), "Port=STDIN\n"
                                             "Effective baud rate: 9600\n"
                                             "Hardware local loopback: on\n"
                                             "Error reporting level: default\n"
                                             "Baud rate extension factor: 0\n"
                                             "Close watchdog timer: 60 secs \n"
                                             "Local close watchdog timer: 300 secs \n"
                                             "DTR delay timer: 2000 millisecs \n"
                                             "Guard band delay timer: 20 millisecs \n"
                                             "Output completion watchdog timer: 12 secs \n"
                                             "Local output completion watchdog timer: 0 secs "
                                             "(not enabled)\n"
                                             "Product ID: QMX2-7POD-8S1P57\n"
                                             "Firmware version: V2.3\n"
                                             "target ID: 5\n");
}

} // namespace
