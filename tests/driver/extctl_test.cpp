// The extended port control record: read and set through I_STR and transparently, the
// checks of a new setting, and what the record says about the unit.
#include <cerrno>
#include <cstring>

#include "port_ioctl_fixture.h"
#include "qdio.h"

namespace lineio_test {
namespace {

class ExtCtl : public PortIoctlFixture {
protected:
  qd_ext_ctl get_istr() {
    qd_ext_ctl x{};
    int len = 0;
    EXPECT_TRUE(istr(qd_ioc(QMXGETEXTCTL), &x, sizeof x, &len).ok());
    EXPECT_EQ(len, static_cast<int>(sizeof x));
    return x;
  }
  qd_ext_ctl get_transparent() {
    qd_ext_ctl x{};
    EXPECT_TRUE(call(qd_ioc(QMXGETEXTCTL), &x).ok());
    return x;
  }
  static qd_ext_ctl setting(std::uint32_t control) {
    qd_ext_ctl x{};
    x.control = control;
    x.lcltmr = 11;
    x.cltmr = 12;
    x.dtrdel = 13;
    x.grddel = 14;
    x.louttmr = 15;
    x.outtmr = 16;
    return x;
  }
};

TEST_F(ExtCtl, ReadsTheLineAndItsUnit) {
  locked([&] { std::memcpy(up_->qdu_fwrev, "2.31", 5); });
  for (bool transparent : {false, true}) {
    SCOPED_TRACE(transparent);
    const qd_ext_ctl x = transparent ? get_transparent() : get_istr();
    EXPECT_EQ(x.control, 1u) << "error level 1, no extension, no loopback";
    EXPECT_EQ(x.lcltmr, 300u);
    EXPECT_EQ(x.cltmr, 60u);
    EXPECT_EQ(x.dtrdel, 200u);
    EXPECT_EQ(x.grddel, 20u);
    EXPECT_EQ(x.louttmr, 0u);
    EXPECT_EQ(x.outtmr, 0u);
    EXPECT_EQ(std::string(x.product, sizeof x.product), std::string(kModel) + '\0');
    EXPECT_STREQ(x.firmware, "2.31");
    EXPECT_EQ(x.target, kUnitNumber);
    for (unsigned char b : x.reserved) {
      EXPECT_EQ(b, 0);
    }
  }
  // A model name of all 16 characters fills the field without a terminator.
  static const qd_unitinfo long_name{"ABCDEFGHIJKLMNOP", 9, 2048, 0x8010F, QDM_LANVARA};
  locked([&] { up_->qdu_info = &long_name; });
  const qd_ext_ctl x = get_istr();
  EXPECT_EQ(std::memcmp(x.product, "ABCDEFGHIJKLMNOP", 16), 0);
  EXPECT_EQ(x.firmware[0], '2');
  locked([&] { up_->qdu_info = qdm_get_unitinfo(kModel); });
}

TEST_F(ExtCtl, SetsBothWays) {
  for (bool transparent : {false, true}) {
    SCOPED_TRACE(transparent);
    qd_ext_ctl x = setting(transparent ? 0x132u : 0x020u);
    std::memcpy(x.product, "ignored", 8);
    x.target = 99;
    const kemu::IoResult r =
        transparent ? call(qd_ioc(QMXSETEXTCTL), &x) : istr(qd_ioc(QMXSETEXTCTL), &x, sizeof x);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(lp_->err_level, transparent ? 2u : 0u);
    EXPECT_EQ(lp_->speed_ext, transparent ? 3 : 2);
    EXPECT_EQ((lp_->qdl_flags & QDL_LOOPBACK) != 0, transparent);
    EXPECT_EQ(lp_->cltmr, 12);
    EXPECT_EQ(lp_->grddel, 14);
    const qd_ext_ctl back = get_transparent();
    EXPECT_EQ(back.control, x.control);
    EXPECT_EQ(std::memcmp(&back.lcltmr, &x.lcltmr, 6 * sizeof x.lcltmr), 0);
    EXPECT_EQ(back.target, kUnitNumber);
  }
  // The loopback bit reaches the unit with the next parameters.
  locked([&] {
    lp_->speed_ext = 0;
    lp_->last_params[0] = 255;
    qdf_note_termios(lp_);
  });
  std::vector<FasCmd> sent = take_commands(FAS_SET_PARAMS);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes[5], 0x81);
}

// A refused setting changes nothing. The extension limit follows the unit's fastest speed.
TEST_F(ExtCtl, Refusals) {
  static const qd_unitinfo fastest{"FAST-8S1P", 9, 2048, 0x8012F, QDM_LANVARA};
  static const qd_unitinfo fast{"FAST-8S1P-B", 9, 2048, 0x80122, QDM_LANVARA};
  const qd_unitinfo* own = up_->qdu_info;
  struct Case {
    const char* what;
    const qd_unitinfo* model;
    std::uint32_t control;
    bool root;
    int error;
  };
  const Case cases[] = {
      {"extension 3 at 0x0F", own, 0x31, false, 0},
      {"extension 4 at 0x0F", own, 0x41, false, EINVAL},
      {"extension 5 at 0x22", &fast, 0x51, false, 0},
      {"extension 6 at 0x22", &fast, 0x61, false, EINVAL},
      {"extension 7 at 0x2F", &fastest, 0x71, false, 0},
      {"extension 8 at 0x2F", &fastest, 0x81, false, EINVAL},
      {"error level 3", own, 0x03, true, EINVAL},
      {"loopback without privilege", own, 0x101, false, EPERM},
      {"loopback with privilege", own, 0x101, true, 0},
      {"loopback cleared without privilege", own, 0x001, false, 0},
      {"other bits ignored", own, 0xfffe0001, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    locked([&] {
      up_->qdu_info = c.model;
      lp_->cltmr = 60;
    });
    qd_ext_ctl x = setting(c.control);
    const cred_t cred = c.root ? kemu::Kernel::root_cred() : kUser;
    EXPECT_EQ(istr(qd_ioc(QMXSETEXTCTL), &x, sizeof x, nullptr, cred).error, c.error);
    EXPECT_EQ(lp_->cltmr, c.error == 0 ? 12 : 60);
    EXPECT_EQ(call(qd_ioc(QMXSETEXTCTL), &x, cred).error, c.error) << "transparent";
  }
  locked([&] { up_->qdu_info = own; });
  EXPECT_EQ(lp_->qdl_flags & QDL_LOOPBACK, 0u);

  // Every timer must fit the signed clock ticks it becomes (seconds times hz, or ticks).
  struct Timer {
    const char* what;
    std::uint32_t qd_ext_ctl::*field;
    std::uint32_t value;
    int error;
  };
  constexpr std::uint32_t max_seconds = INT32_MAX / 100;
  const Timer timers[] = {
      {"close watchdog at the limit", &qd_ext_ctl::cltmr, max_seconds, 0},
      {"close watchdog past it", &qd_ext_ctl::cltmr, max_seconds + 1, EINVAL},
      {"local close watchdog of 2^31", &qd_ext_ctl::lcltmr, 0x80000000u, EINVAL},
      {"output watchdog past the limit", &qd_ext_ctl::outtmr, max_seconds + 1, EINVAL},
      {"local output watchdog all ones", &qd_ext_ctl::louttmr, 0xffffffffu, EINVAL},
      {"DTR delay of 2^31 ticks", &qd_ext_ctl::dtrdel, 0x80000000u, EINVAL},
      {"guard delay all ones", &qd_ext_ctl::grddel, 0xffffffffu, EINVAL},
  };
  for (const Timer& t : timers) {
    SCOPED_TRACE(t.what);
    locked([&] { lp_->speed_ext = 0; });
    qd_ext_ctl x = setting(0x21);
    x.*t.field = t.value;
    EXPECT_EQ(istr(qd_ioc(QMXSETEXTCTL), &x, sizeof x).error, t.error);
    EXPECT_EQ(lp_->speed_ext, t.error == 0 ? 2 : 0);
  }
  locked([&] { lp_->cltmr = 12; });

  unsigned char big[80] = {};
  for (int len : {0, 67, 69}) {
    SCOPED_TRACE(len);
    EXPECT_EQ(istr(qd_ioc(QMXSETEXTCTL), big, len).error, EINVAL);
  }
  EXPECT_EQ(lp_->cltmr, 12);
}

// No block for the record: EIO.
TEST_F(ExtCtl, NoBlockForTheRecord) {
  kemu::fail_allocb_nth(1);
  qd_ext_ctl x{};
  EXPECT_EQ(istr(qd_ioc(QMXGETEXTCTL), &x, sizeof x).error, EIO);
}

} // namespace
} // namespace lineio_test
