// Trace rings: set-up, conversions, wrap and end mark, routing by trace mode, the FAS
// command log and the statistics print.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "driver_fixture.h"

namespace {

using TraceTest = DriverFixture;

std::string pointer_text(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

// The ring writers are the same in every build, but a build without a tracer has no ring
// of a usable size to try them on.
constexpr const char* NO_RINGS = "no trace rings in this build";

// A ring in zeroed memory, as inside a record.
std::unique_ptr<qd_trace_ring> new_ring() {
  return std::make_unique<qd_trace_ring>();
}

TEST_F(TraceTest, Conversions) {
  if constexpr (!qd_trace_on) {
    GTEST_SKIP() << NO_RINGS;
  }
  auto ring = new_ring();
  const unsigned char bytes[8] = {1, 2, 3, 4, 0xa5, 6, 7, 0xff};
  // Each record starts at the beginning of a clean ring.
  auto record = [&](auto&& write) {
    std::fill(std::begin(ring->data), std::end(ring->data), 0);
    ring->cursor = ring->data;
    run(write);
    return ring_text(ring.get());
  };
  EXPECT_EQ(record([&] { qd_itracer(ring.get(), "stat=%x\n", 5u); }), "stat=00000005x\n");
  EXPECT_EQ(record([&] { qd_itracer(ring.get(), "%\n", 0xdeadbeefu); }), "deadbeef\n");
  EXPECT_EQ(record([&] { qd_itracer(ring.get(), "$|$|\n", "abc", ""); }), "abc||\n");
  EXPECT_EQ(record([&] { qd_itracer(ring.get(), "^\n", bytes); }), "01020304 a50607ff\n");
  EXPECT_EQ(record([&] { qd_itracer(ring.get(), "~~\n", 0x1ffu, 7u); }), "ff07\n");
  EXPECT_EQ(record([&] { qd_itracer(ring.get(), "a&b%\n", 7u); }), "a&b00000007\n");
  // The checked call site converts its arguments the same way.
  EXPECT_EQ(record([&] { qd_trace_ring_rec(ring.get(), "C~:$ ^\n", 3, "Enable  ", bytes); }),
            "C03:Enable   01020304 a50607ff\n");
  // In the driver-wide ring '&' is a pointer at its full width.
  const auto* p = reinterpret_cast<const void*>(std::uintptr_t{0x12345678});
  run([&] { qd_trace_drv("p=& v=%\n", p, 9); });
  const std::string text = ring_text(qd_ring_of(qd_trcbuf));
  EXPECT_TRUE(
      text.ends_with("p=" + std::string(2 * sizeof(void*) - 8, '0') + "12345678 v=00000009\n"))
      << text;
}

TEST_F(TraceTest, SetUpOnceWithANote) {
  if constexpr (!qd_trace_on) {
    GTEST_SKIP() << NO_RINGS;
  }
  auto ring = new_ring();
  run([&] { qd_itracer(ring.get(), "first\n"); });
  EXPECT_EQ(ring->magic, QD_TRC_MAGIC);
  EXPECT_EQ(ring->initialised, 1);
  EXPECT_EQ(ring->end, reinterpret_cast<char*>(&ring->initialised));
  const std::string note = "NOTICE: itrcbuf at " + pointer_text(ring.get()) + "\n";
  const std::string text = console();
  EXPECT_NE(text.find(note), std::string::npos) << text;
  EXPECT_EQ(text.find("itrcbuf"), text.rfind("itrcbuf")) << text;
  run([&] { qd_itracer(ring.get(), "second\n"); });
  EXPECT_EQ(console(), "");
  EXPECT_EQ(ring_text(ring.get()), "first\nsecond\n");
  if constexpr (qd_trace_on) {
    char want[64];
    std::snprintf(want, sizeof want, "itrcbuf at %0*jx\n", static_cast<int>(2 * sizeof(void*)),
                  static_cast<std::uintmax_t>(reinterpret_cast<std::uintptr_t>(ring.get())));
    EXPECT_EQ(ring_text(qd_ring_of(qd_trcbuf)), want);
  }
}

TEST_F(TraceTest, WrapKeepsOneEndMarkAndSparesTheEndByte) {
  if constexpr (!qd_trace_on) {
    GTEST_SKIP() << NO_RINGS;
  }
  auto ring = new_ring();
  run([&] {
    qd_itracer(ring.get(), "x");
    ring->cursor = ring->end - 3;
    qd_itracer(ring.get(), "abcdef\n");
    qd_itracer(ring.get(), "gh");
  });
  const std::string data(ring->data, QD_TRC_SIZE);
  EXPECT_EQ(data.substr(QD_TRC_SIZE - 3), "abc");
  EXPECT_EQ(data.substr(0, 7), "def\ngh~");
  EXPECT_EQ(std::count(data.begin(), data.end(), '~'), 1);
  EXPECT_EQ(ring->cursor, ring->data + 6);
  EXPECT_EQ(ring->initialised, 1);
}

TEST_F(TraceTest, BadRingGetsNoText) {
  auto ring = new_ring();
  run([&] { qd_itracer(ring.get(), "ok\n"); });
  console();
  ring->magic = 0x12345678;
  run([&] { qd_itracer(ring.get(), "lost %", 1u); });
  EXPECT_EQ(ring_text(ring.get()), "ok\n");
  EXPECT_EQ(console(), "NOTICE: bad rec buf ptr in qd_itracer=" + pointer_text(ring.get()) +
                           ", mesg='lost %'\n");
}

TEST_F(TraceTest, RecordsGoWhereTheModeSays) {
  std::string unit_ring, line_ring, global_ring;
  run([&] {
    qd_unit* up = make_unit("QMX-16S-115A", 1, 2);
    qd_line* lp = make_line(up, 4);
    qd_trace_unit(up, "unit %\n", 1);
    qd_trace_line(lp, "line %\n", 2);
    qd_trace_drv("drv %\n", 3);
    if constexpr (qd_trace_units) {
      unit_ring = ring_text(qd_ring_of(up->qdu_trc));
    }
    if constexpr (qd_trace_lines) {
      line_ring = ring_text(qd_ring_of(lp->qdl_trc));
    }
    if constexpr (qd_trace_on) {
      global_ring = ring_text(qd_ring_of(qd_trcbuf));
    } else {
      EXPECT_EQ(qd_unit_ring(up), nullptr);
      EXPECT_EQ(qd_line_ring(lp), nullptr);
    }
  });
  const std::string u = "unit 00000001\n", l = "line 00000002\n", d = "drv 00000003\n";
  auto has = [](const std::string& ring, const std::string& rec) {
    return ring.find(rec) != std::string::npos;
  };
  switch (qd_trace_mode) {
  case qd_trace_mode_t::global:
    EXPECT_TRUE(has(global_ring, u + l + d)) << global_ring;
    break;
  case qd_trace_mode_t::unit:
    EXPECT_EQ(unit_ring, u + l);
    EXPECT_TRUE(has(global_ring, d) && !has(global_ring, u) && !has(global_ring, l));
    break;
  case qd_trace_mode_t::line:
    EXPECT_EQ(line_ring, l);
    EXPECT_TRUE(has(global_ring, u) && has(global_ring, d) && !has(global_ring, l)) << global_ring;
    break;
  case qd_trace_mode_t::none:
    EXPECT_EQ(console(), ""); // not even a set-up note
    break;
  }
}

TEST_F(TraceTest, CommandLogKeepsTheLast64) {
  std::string routed;
  run([&] {
    qd_unit* up = make_unit("QMX-16S-115A", 1, 3);
    qd_line* lp = make_line(up, 5);
    for (unsigned i = 0; i < 64; ++i) {
      const unsigned char cmd[8] = {FAS_ENABLE, 5, 0, 0, 0, 0, 0, static_cast<unsigned char>(i)};
      qdf_logfasout(lp, cmd);
    }
    EXPECT_EQ(lp->fas_log_ptr, &lp->fas_log[0][0]);
    const unsigned char ans[8] = {FAS_EXT_PARAMS, 5, 2, 0, 0, 0, 0, 0x40};
    qdf_logfasin(lp, ans); // the 65th entry
    EXPECT_EQ(lp->fas_log_ptr, &lp->fas_log[1][0]);
    const unsigned char want0[8] = {FAS_EXT_PARAMS | 0x80, 5, 2, 0, 0, 0, 0, 0x40};
    EXPECT_TRUE(std::equal(want0, want0 + 8, lp->fas_log[0]));
    EXPECT_EQ(lp->fas_log[1][7], 1);
    EXPECT_EQ(lp->fas_log[63][7], 63);
    if (qd_trace_ring* r = qd_line_ring(lp)) {
      routed = ring_text(r);
    }
  });
  if constexpr (qd_trace_on) {
    EXPECT_NE(routed.find("C03:Enable   01050000 0000003f\nR03:ExtParms 18050200 00000040\n"),
              std::string::npos)
        << routed;
  }
}

TEST_F(TraceTest, StatisticsPrintInPiecesOf40) {
  unsigned char text[100];
  std::fill(std::begin(text), std::end(text), 'a');
  std::fill(text + 40, text + 80, 'b');
  std::fill(text + 80, text + 100, 'c');
  text[10] = 0; // ends the first piece early; the next still starts at 40
  run([&] { qdf_display_statistics(text, 100); });
  EXPECT_EQ(console(), std::string(10, 'a') + std::string(40, 'b') + std::string(20, 'c'));
  run([&] { qdf_display_statistics(text + 80, 0); });
  EXPECT_EQ(console(), "");
}

} // namespace
