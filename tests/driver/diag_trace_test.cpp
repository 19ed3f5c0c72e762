// Trace fetch: exactly the ring's data size, copied through the caller's 32-bit buffer
// handle, for the rings the build's trace mode has; refusals for the others.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "diag_fixture.h"

namespace diag_test {
namespace {

constexpr int OK = 0;

struct Case {
  const char* what;
  qd_trc_req req;
  const char* marker; // text the fetched ring must hold when it succeeds
  int global_mode, unit_mode, line_mode, no_tracer;

  int expected() const {
    switch (qd_trace_mode) {
    case qd_trace_mode_t::global:
      return global_mode;
    case qd_trace_mode_t::unit:
      return unit_mode;
    case qd_trace_mode_t::line:
      return line_mode;
    case qd_trace_mode_t::none:
      break;
    }
    return no_tracer;
  }
};

constexpr qd_trc_req req(std::uint8_t type, std::uint8_t bus, std::uint8_t target,
                         std::uint8_t line = 0, std::uint8_t lanvara = 0) {
  return qd_trc_req{type, bus, target, line, lanvara, {}, 0};
}

const Case kCases[] = {
    {"driver-wide ring", req(QD_TRC_GLOBAL, 0, 0), "marker-driver", OK, OK, OK, ENOENT},
    {"unit ring", req(QD_TRC_UNIT, 0, 2), "marker-unit-2", ENOENT, OK, ENOENT, ENOENT},
    {"Lanvara unit ring", req(QD_TRC_UNIT, 1, 3, 0, 1), "marker-vrn-13", ENOENT, OK, ENOENT,
     ENOENT},
    {"unit ring of no unit", req(QD_TRC_UNIT, 0, 7), nullptr, ENOENT, EINVAL, ENOENT, ENOENT},
    {"unit ring on bus 16", req(QD_TRC_UNIT, 16, 2), nullptr, ENOENT, EINVAL, ENOENT, ENOENT},
    {"line ring", req(QD_TRC_LINE, 0, 2, 4), "marker-line-4", ENOENT, ENOENT, OK, ENOENT},
    {"line ring of a port never opened", req(QD_TRC_LINE, 0, 2, 5), nullptr, ENOENT, ENOENT, ENODEV,
     ENOENT},
    {"line ring beyond the ports", req(QD_TRC_LINE, 0, 2, 200), nullptr, ENOENT, ENOENT, ENODEV,
     ENOENT},
    {"line ring of no unit", req(QD_TRC_LINE, 0, 7, 4), nullptr, ENOENT, ENOENT, EINVAL, ENOENT},
    {"line ring on target 16", req(QD_TRC_LINE, 0, 16, 4), nullptr, ENOENT, ENOENT, EINVAL, ENOENT},
    {"unknown type", req(3, 0, 0), nullptr, EINVAL, EINVAL, EINVAL, EINVAL},
};

class DiagTrace : public DiagFixture {
protected:
  void SetUp() override {
    DiagFixture::SetUp();
    add_qmx(2);
    start("vrn13=\"Lanvara8S1P-115,10.1.2.3\";\n");
    qd_unit* scsi = unit(2);
    qd_unit* vrn = vrn_unit(0x13);
    ASSERT_TRUE(scsi != nullptr && vrn != nullptr);
    open_node(port_name(scsi, 4));
    qd_line* lp = scsi->qd_lines[4];
    ASSERT_NE(lp, nullptr);
    as(kemu::Kernel::root_cred(), [&] {
      qd_trace_drv("marker-driver\n");
      qd_trace_unit(scsi, "marker-unit-2\n");
      qd_trace_unit(vrn, "marker-vrn-13\n");
      qd_trace_line(lp, "marker-line-4\n");
    });
    console();
  }
};

TEST_F(DiagTrace, EachRingKindByTraceMode) {
  kemu::StreamFile& d = diag();
  for (const Case& c : kCases) {
    // Room behind the ring's size shows that nothing more is written.
    std::vector<std::uint8_t> buf(QD_TRC_SIZE + 64, 0xEE);
    qd_trc_req r = c.req;
    r.buffer = umem_.map(buf);
    const qd_trc_req sent = r;
    const kemu::IoResult res = istr(d, QMXTRCBUF, r);
    ASSERT_EQ(res.error, c.expected()) << c.what;
    if (c.expected() != OK) {
      EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](auto b) { return b == 0xEE; })) << c.what;
      continue;
    }
    EXPECT_EQ(std::memcmp(&r, &sent, sizeof r), 0) << c.what << ": the request comes back";
    const std::string_view text(reinterpret_cast<const char*>(buf.data()), QD_TRC_SIZE);
    EXPECT_NE(text.find(c.marker), std::string_view::npos) << c.what;
    EXPECT_NE(text.find('~'), std::string_view::npos) << c.what << ": the end mark";
    EXPECT_NE(buf[QD_TRC_SIZE - 1], 0xEE) << c.what << ": the whole ring";
    EXPECT_TRUE(std::all_of(buf.begin() + QD_TRC_SIZE, buf.end(), [](auto b) { return b == 0xEE; }))
        << c.what << ": nothing beyond the ring";
  }
}

TEST_F(DiagTrace, BufferTheCallerCannotTakeIsEfault) {
  if constexpr (!qd_trace_on) {
    GTEST_SKIP() << "without a tracer nothing is copied (ENOENT above)";
  }
  kemu::StreamFile& d = diag();
  qd_trc_req r = req(QD_TRC_GLOBAL, 0, 0);
  r.buffer = 0x10; // no buffer there
  EXPECT_EQ(istr(d, QMXTRCBUF, r).error, EFAULT);
  std::vector<std::uint8_t> small(QD_TRC_SIZE - 1, 0xEE);
  r.buffer = umem_.map(small);
  EXPECT_EQ(istr(d, QMXTRCBUF, r).error, EFAULT);
  EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](auto b) { return b == 0xEE; }));
}

TEST_F(DiagTrace, ShortRequestIsRefused) {
  std::vector<std::uint8_t> buf(QD_TRC_SIZE, 0xEE);
  qd_trc_req r = req(QD_TRC_GLOBAL, 0, 0);
  r.buffer = umem_.map(buf);
  EXPECT_EQ(istr(diag(), QMXTRCBUF, &r, sizeof r - 1).error, EINVAL);
  EXPECT_EQ(buf[0], 0xEE);
}

} // namespace
} // namespace diag_test
