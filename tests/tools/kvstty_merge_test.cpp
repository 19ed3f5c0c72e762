// kvstty's merge of requested settings into a port's termios and extended record: what is
// changed, what is marked for writing back, and the limits of the port's model.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ksys/termios.h"
#include "kvstty/merge.h"
#include "qdio.h"

namespace {

using kvstty::Request;
using kvstty::Variant;

constexpr const char* kModel115 = "QMX-8S-115A"; // highest speed code 0x0F
constexpr const char* kModel230 = "QMX-8S-230N"; // 0x22
constexpr const char* kModel57 = "QMX-8S-57";    // 0x0D
constexpr const char* kPrinters = "QMX-3P";      // port 0 is a printer port

struct Port {
  termios t{};
  qd_ext_ctl xc{};
};

// A port as the driver reports it: 9600, the default timers, level 1.
Port port_of(const char* model) {
  Port p;
  p.t.c_cflag = CS8 | CREAD | CLOCAL | B9600;
  p.xc.control = 1;
  p.xc.lcltmr = 300;
  p.xc.cltmr = 60;
  p.xc.dtrdel = 200;
  p.xc.grddel = 20;
  std::strncpy(p.xc.product, model, sizeof p.xc.product);
  std::memcpy(p.xc.firmware, "V2.3", 5);
  p.xc.target = 3;
  return p;
}

unsigned ext_of(const qd_ext_ctl& xc) {
  return (xc.control & QDX_SPEED_EXT) >> QDX_SPEED_EXT_SHIFT;
}

kvstty::MergeResult merge(const Request& r, Variant v, Port& p) {
  return kvstty::apply_options(r, v, "tty0", p.t, p.xc);
}

TEST(KvsttyMerge, RecordSettingsWriteBackTheRecordOnly) {
  Request r;
  r.update_ext = true;
  r.nonloc_timeout = 30;
  r.guard_delay = 2;
  r.setloop = true;
  r.level = 2;
  Port p = port_of(kModel115);
  const termios before = p.t;
  auto m = merge(r, Variant::kCbaudext, p);
  ASSERT_TRUE(m.ok);
  EXPECT_TRUE(m.update_ext);
  EXPECT_FALSE(m.update_tty);
  EXPECT_EQ(m.messages, "");
  EXPECT_EQ(std::memcmp(&before, &p.t, sizeof before), 0);
  EXPECT_EQ(p.xc.control, QDX_LOOPBACK | 2u);
  EXPECT_EQ(p.xc.cltmr, 30u);
  EXPECT_EQ(p.xc.grddel, 2u);
  EXPECT_EQ(p.xc.lcltmr, 300u) << "settings not asked for stay";
  EXPECT_EQ(p.xc.dtrdel, 200u);
}

TEST(KvsttyMerge, NothingRequestedWritesNothing) {
  Port p = port_of(kModel115);
  auto m = merge(Request{}, Variant::kCbaudext, p);
  EXPECT_TRUE(m.ok);
  EXPECT_FALSE(m.update_ext);
  EXPECT_FALSE(m.update_tty);
}

TEST(KvsttyMerge, LoopAndLevelKeepTheOtherControlBits) {
  Port p = port_of(kModel230);
  p.xc.control = QDX_LOOPBACK | (5u << QDX_SPEED_EXT_SHIFT) | 1u;
  Request r;
  r.setloop = false;
  r.level = 0;
  merge(r, Variant::kCbaudext, p);
  EXPECT_EQ(p.xc.control, 5u << QDX_SPEED_EXT_SHIFT);
}

TEST(KvsttyMerge, SpeedsInBothBuilds) {
  struct Case {
    Variant v;
    const char* model;
    std::uint64_t rate;
    tcflag_t cbaud;
    bool cbaudext;
    unsigned ext;
  };
  const Case cases[] = {
      {Variant::kCbaudext, kModel115, 75, B75, false, 0},
      {Variant::kCbaudext, kModel230, 50, B50, false, 0},
      {Variant::kCbaudext, kModel115, 38400, B38400, false, 0},
      {Variant::kCbaudext, kModel115, 57600, 0, true, 0},
      {Variant::kCbaudext, kModel115, 115200, B115200 - 16, true, 0},
      {Variant::kCbaudext, kModel230, 230400, B230400 - 16, true, 0},
      {Variant::kSpeedExt, kModel115, 57600, B38400, false, 1},
      {Variant::kSpeedExt, kModel115, 115200, B38400, false, 3},
      {Variant::kSpeedExt, kModel230, 230400, B38400, false, 5},
      {Variant::kSpeedExt, kModel115, 19200, B19200, false, 0},
      {Variant::kCbaudext, kModel115, 0, B0, false, 0}, // row 0: FAS code 0 passes the check
      {Variant::kCbaudext, kPrinters, 460800, B460800 - 16, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + (c.v == Variant::kCbaudext ? " ext" : " 2.4"));
    Port p = port_of(c.model);
    // Input speed set apart from the output speed, and an old extension.
    p.t.c_cflag |= (B1200 << IBSHIFT) | CIBAUDEXT;
    p.xc.control |= 2u << QDX_SPEED_EXT_SHIFT;
    Request r;
    r.baudrate = c.rate;
    auto m = merge(r, c.v, p);
    ASSERT_TRUE(m.ok) << m.messages;
    EXPECT_TRUE(m.update_ext);
    EXPECT_TRUE(m.update_tty);
    EXPECT_EQ(p.t.c_cflag & CBAUD, c.cbaud);
    EXPECT_EQ((p.t.c_cflag & CBAUDEXT) != 0, c.cbaudext);
    EXPECT_EQ(p.t.c_cflag & CIBAUD, 0u) << "input speed follows output";
    if (c.v == Variant::kCbaudext) {
      EXPECT_EQ(p.t.c_cflag & CIBAUDEXT, 0u);
    }
    EXPECT_EQ(ext_of(p.xc), c.ext);
    EXPECT_EQ(p.t.c_cflag & (CS8 | CREAD | CLOCAL), CS8 | CREAD | CLOCAL);
  }
}

TEST(KvsttyMerge, TheBuildWithoutCbaudextNeverTouchesIt) {
  Port p = port_of(kModel115);
  p.t.c_cflag |= CBAUDEXT;
  Request r;
  r.baudrate = 115200;
  r.setsane = true;
  ASSERT_TRUE(merge(r, Variant::kSpeedExt, p).ok);
  EXPECT_NE(p.t.c_cflag & CBAUDEXT, 0u);
}

TEST(KvsttyMerge, SpeedRefusals) {
  struct Case {
    const char* model;
    std::uint64_t rate;
    const char* message;
  };
  const Case cases[] = {
      {kModel115, 12345, "Baudrate 12345 not supported\n"},
      {kModel115, 50, "Baudrate 50 not supported on this product.\n"},   // code 16 > 15
      {kModel115, 134, "Baudrate 134 not supported on this product.\n"}, // code 18 > 15
      {kModel115, 153600, "Baudrate 153600 not supported on this product.\n"},
      {kModel115, 230400, "Baudrate 230400 not supported on this product.\n"},
      {kModel57, 76800, "Baudrate 76800 not supported on this product.\n"},
      {kModel230, 307200, "Baudrate 307200 not supported on this product.\n"},
      {kModel230, 460800, "Baudrate 460800 not supported on this product.\n"},
  };
  for (Variant v : {Variant::kCbaudext, Variant::kSpeedExt}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.message);
      Port p = port_of(c.model);
      const Port before = p;
      Request r;
      r.baudrate = c.rate;
      r.nonloc_timeout = 5;
      auto m = merge(r, v, p);
      EXPECT_FALSE(m.ok);
      EXPECT_EQ(m.messages, c.message);
      EXPECT_EQ(p.t.c_cflag, before.t.c_cflag);
      EXPECT_EQ(p.xc.control, before.xc.control);
    }
  }
  // The same speeds within the model's limit pass.
  for (auto [model, rate] :
       {std::pair{kModel57, std::uint64_t{57600}}, std::pair{kModel230, std::uint64_t{230400}}}) {
    Port p = port_of(model);
    Request r;
    r.baudrate = rate;
    EXPECT_TRUE(merge(r, Variant::kCbaudext, p).ok) << model;
  }
}

TEST(KvsttyMerge, BaudextIsHeldToTheModelsLimit) {
  EXPECT_EQ(kvstty::baud_ext_limit(0x2f), 7u);
  EXPECT_EQ(kvstty::baud_ext_limit(0x22), 5u);
  EXPECT_EQ(kvstty::baud_ext_limit(0x0f), 3u);
  EXPECT_EQ(kvstty::baud_ext_limit(0x0d), 3u);

  struct Case {
    const char* model;
    std::uint32_t asked;
    unsigned stored;
    const char* warning;
  };
  const Case cases[] = {
      {kModel230, 9, 5, "tty0: baud extension is more than product limit.  Set to limit of 5.\n"},
      {kModel115, 4, 3, "tty0: baud extension is more than product limit.  Set to limit of 3.\n"},
      {kModel115, 4294967295u, 3,
       "tty0: baud extension is more than product limit.  Set to limit of 3.\n"},
      {kModel115, 3, 3, ""},
      {kModel230, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked);
    Port p = port_of(c.model);
    p.xc.control = QDX_LOOPBACK | (1u << QDX_SPEED_EXT_SHIFT) | 2;
    Request r;
    r.update_ext = true;
    r.baud_ext = c.asked;
    auto m = merge(r, Variant::kCbaudext, p);
    EXPECT_TRUE(m.ok);
    EXPECT_EQ(m.messages, c.warning);
    EXPECT_EQ(ext_of(p.xc), c.stored);
    EXPECT_EQ(p.xc.control & ~QDX_SPEED_EXT, QDX_LOOPBACK | 2u);
    EXPECT_FALSE(m.update_tty);
  }
}

TEST(KvsttyMerge, ASpeedWinsOverBaudext) {
  for (Variant v : {Variant::kCbaudext, Variant::kSpeedExt}) {
    Port p = port_of(kModel115);
    Request r;
    r.baudrate = 38400;
    r.baud_ext = 2;
    ASSERT_TRUE(merge(r, v, p).ok);
    EXPECT_EQ(ext_of(p.xc), 0u);
  }
}

TEST(KvsttyMerge, SaneRestoresTheDefaults) {
  for (Variant v : {Variant::kCbaudext, Variant::kSpeedExt}) {
    Port p = port_of(kModel115);
    p.t.c_cflag =
        CS7 | PARENB | (v == Variant::kCbaudext ? CBAUDEXT | 0 : B38400) | (B2400 << IBSHIFT);
    p.xc = {};
    p.xc.control = QDX_LOOPBACK | (3u << QDX_SPEED_EXT_SHIFT) | 2;
    p.xc.lcltmr = p.xc.cltmr = p.xc.dtrdel = p.xc.grddel = p.xc.louttmr = p.xc.outtmr = 7;
    std::strncpy(p.xc.product, kModel115, sizeof p.xc.product);
    Request r;
    r.setsane = true;
    r.update_ext = true;
    auto m = merge(r, v, p);
    ASSERT_TRUE(m.ok);
    EXPECT_TRUE(m.update_ext);
    EXPECT_TRUE(m.update_tty);
    EXPECT_EQ(p.t.c_cflag, CS7 | PARENB | B9600) << "only the speed fields change";
    EXPECT_EQ(p.xc.control, 1u);
    EXPECT_EQ(p.xc.lcltmr, 300u);
    EXPECT_EQ(p.xc.cltmr, 60u);
    EXPECT_EQ(p.xc.dtrdel, 200u);
    EXPECT_EQ(p.xc.grddel, 20u);
    EXPECT_EQ(p.xc.louttmr, 0u);
    EXPECT_EQ(p.xc.outtmr, 0u);
  }
}

TEST(KvsttyMerge, SaneThenTheOtherSettings) {
  Port p = port_of(kModel230);
  Request r;
  r.setsane = true;
  r.baudrate = 57600;
  r.nonloc_timeout = 9;
  r.level = 0;
  ASSERT_TRUE(merge(r, Variant::kSpeedExt, p).ok);
  EXPECT_EQ(p.t.c_cflag & CBAUD, B38400);
  EXPECT_EQ(p.xc.control, 1u << QDX_SPEED_EXT_SHIFT);
  EXPECT_EQ(p.xc.cltmr, 9u);
  EXPECT_EQ(p.xc.lcltmr, 300u);
}

TEST(KvsttyMerge, AnUnknownProductRefusesSpeedSettingsOnly) {
  Port p = port_of("NoSuchModel");
  Request r;
  r.baudrate = 9600;
  auto m = merge(r, Variant::kCbaudext, p);
  EXPECT_FALSE(m.ok);
  EXPECT_EQ(m.messages, "tty0: product 'NoSuchModel' is not known, speed not changed.\n");

  Request ext;
  ext.baud_ext = 1;
  EXPECT_FALSE(merge(ext, Variant::kCbaudext, p).ok);

  Request timers;
  timers.update_ext = true;
  timers.local_timeout = 1;
  auto t = merge(timers, Variant::kCbaudext, p);
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(p.xc.lcltmr, 1u);
}

TEST(KvsttyMerge, ProductOfSixteenCharactersHasNoNul) {
  qd_ext_ctl xc{};
  std::memcpy(xc.product, "QMX2-7POD-8S1P57", 16);
  std::memcpy(xc.firmware, "V9.9", 5);
  EXPECT_EQ(kvstty::product_of(xc), "QMX2-7POD-8S1P57");
  Port p;
  p.xc = xc;
  p.t.c_cflag = B9600;
  Request r;
  r.baudrate = 57600;
  EXPECT_TRUE(merge(r, Variant::kCbaudext, p).ok) << "the model is found from all 16";
}

} // namespace
