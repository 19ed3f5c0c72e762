// Console logging: prefixes, the level filter, the 160-byte bound, the assertion message
// and the dump of one FAS command.
#include <string>

#include "driver_fixture.h"

namespace {

using LogTest = DriverFixture;

TEST_F(LogTest, PrefixNamesUnitAndLine) {
  struct Case {
    const char* model;
    int bus, target;
    int line; // -1: a unit message
    const char* want;
  };
  const Case cases[] = {
      {"QMX2-7POD-8S1P57", 1, 3, 40, "Orvane QMX 1/3 pod 2 line 4: hello 7\n"},
      {"QMX2-7POD-8S1P57", 1, 3, -1, "Orvane QMX 1/3: hello 7\n"},
      {"QMX-16S-115A", 2, 15, 5, "Orvane QMX 2/15 line 5: hello 7\n"},
      {"QMX-16S-115A", 2, 15, -1, "Orvane QMX 2/15: hello 7\n"},
      {"Lanvara16S-115A", 0, 0x1a, 3, "Orvane vrn1a line 3: hello 7\n"},
      {"Lanvara16S-115A", 0, 0x1a, -1, "Orvane vrn1a: hello 7\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    run([&] {
      qd_unit* up = make_unit(c.model, c.bus, c.target);
      qd_line* lp = c.line < 0 ? nullptr : make_line(up, static_cast<unsigned>(c.line));
      console();
      qdlogerr(0, up, lp, "hello %d", 7);
    });
    EXPECT_EQ(console(), c.want);
  }
  run([] { qdlogerr(0, &global_unit, nullptr, "diag"); });
  EXPECT_EQ(console(), "Orvane QMX 0/255: diag\n");
}

TEST_F(LogTest, LevelFilter) {
  struct Case {
    int line_level; // -1: a unit message, filtered by qd_err_level (1)
    unsigned level;
    bool printed;
  };
  const Case cases[] = {
      {1, 2, false}, {1, 1, true},  {0, 0, true},  {0, 1, false},
      {2, 2, true},  {-1, 0, true}, {-1, 1, true}, {-1, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.line_level << "/" << c.level);
    run([&] {
      qd_unit* up = make_unit("QMX-16S-115A", 0, 1);
      qd_line* lp = nullptr;
      if (c.line_level >= 0) {
        lp = make_line(up, 2);
        lp->err_level = static_cast<std::uint32_t>(c.line_level);
      }
      console();
      qdlogerr(c.level, up, lp, "message");
    });
    EXPECT_EQ(!console().empty(), c.printed);
  }
}

TEST_F(LogTest, LongTextIsCutAt160BytesWithItsNewline) {
  const std::string arg(500, 'a');
  run([&] {
    qd_unit* up = make_unit("QMX2-7POD-8S1P57", 1, 3);
    qd_line* lp = make_line(up, 125);
    console();
    qdlogerr(0, up, lp, "long %s and %d", arg.c_str(), 12345);
  });
  const std::string text = console();
  const std::string prefix = "Orvane QMX 1/3 pod 6 line 17: long ";
  ASSERT_EQ(text.size(), 159u); // with the NUL, the whole buffer
  EXPECT_EQ(text.substr(0, prefix.size()), prefix);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find_first_not_of('a', prefix.size()), 158u);
}

TEST_F(LogTest, AssertionMessageNamesExpressionPlaceAndRelease) {
  int line = 0;
  run([&] {
    line = __LINE__ + 1;
    EXPECT_FALSE(qd_assert(1 + 1 == 3, "1 + 1 == 3"));
    EXPECT_TRUE(qd_assert(true, "true"));
  });
  const std::string text = console();
  const std::string want = "WARNING: | Assertion failed in qd: 1 + 1 == 3\n"
                           "         | file: log_test.cpp, line: " +
                           std::to_string(line) + ", version: R3.014\n";
  EXPECT_EQ(text.substr(0, want.size()), want) << text;
  EXPECT_EQ(text.find("Assertion", want.size()), std::string::npos); // the passing check is quiet
}

// A routine whose callers must hold a lock stops the system when called without it; debug
// builds only. Among them the routines that let the lock go and take it again.
TEST_F(LogTest, RoutineCalledWithoutItsLockPanics) {
  if constexpr (!qd_lock_checks) {
    GTEST_SKIP() << "release builds leave the lock checks out";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  run([] {
    qd_unit* up = make_unit("QMX-8S-115A", 0, 1);
    const HeldLock held(&up->unit_mutex);
    EXPECT_NE(qdm_putfas(up, 8), nullptr);
    qdm_freechain(up);
  });
  struct Case {
    const char* file;
    void (*call)(qd_line* lp, queue_t* wq);
  };
  const Case cases[] = {
      {"qd_pool.cpp", [](qd_line* lp, queue_t*) { qdm_putfas(lp->unit, 8); }},
      {"qd_output.cpp", [](qd_line*, queue_t* wq) { qdf_process_wrq(wq); }},
      {"qd_lineoffline.cpp", [](qd_line* lp, queue_t*) { qdf_line_offline(lp); }},
      {"qd_output.cpp", [](qd_line* lp, queue_t*) { qdf_output_watchdog(lp); }},
      {"qd_drain.cpp", [](qd_line* lp, queue_t* wq) { qdf_drain_output(wq, nullptr, lp); }},
      {"qd_input.cpp",
       [](qd_line* lp, queue_t*) {
         unsigned char c = 'x';
         qdf_send_input_up(lp, &c, 1, 0);
       }},
      {"qd_port_ioctl.cpp",
       [](qd_line*, queue_t* wq) { qdf_get_modem_ioctl(wq, nullptr, nullptr); }},
  };
  for (const Case& c : cases) {
    const auto call = [this, &c] {
      run([&c] {
        qd_line* lp = make_line(make_unit("QMX-8S-115A", 0, 1), 2);
        queue_t wq{};
        wq.q_ptr = lp;
        c.call(lp, &wq);
      });
    };
    EXPECT_DEATH(call(),
                 std::string("panic: \\| Assertion failed in qd: mutex_owned\\(unit_mutex\\)\n"
                             " +\\| file: ") +
                     c.file + ", line: [0-9]+, version: R3.014");
  }
}

TEST_F(LogTest, ShowFasCommand) {
  run([] {
    const unsigned char poll[8] = {21, 0, 0, 0, 0, 0, 0, 0};
    qdshowfascmd("R", poll);
    const unsigned char send[8] = {3, 0x1f, 0x10, 0x02, 0xab, 0, 0, 0xff};
    qdshowfascmd("QMXFASCMD", send);
  });
  EXPECT_EQ(console(), "R: 15000000 00000000 (FAS_UNIT_POLL)\n"
                       "QMXFASCMD: 031f1002 ab0000ff (FAS_SEND)\n");
}

} // namespace
