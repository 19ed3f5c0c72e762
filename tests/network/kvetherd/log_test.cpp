// The daemon's log lines: the date stamp, the error form, and which lines reach syslog.
#include <gtest/gtest.h>

#include <cerrno>

#include "fakes.h"
#include "kvetherd/log.h"

namespace kvtest {
namespace {

std::tm make_tm(int year, int mon, int mday, int hour, int min, int sec) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return t;
}

TEST(LogPrefix, MonthDayYearsSince1900AndTime) {
  const struct {
    std::tm when;
    const char* want;
  } cases[] = {
      {make_tm(1999, 12, 31, 23, 59, 59), "12/31/99 23:59:59: "},
      {make_tm(2000, 1, 2, 3, 4, 5), "01/02/100 03:04:05: "},
      {make_tm(2025, 7, 9, 0, 0, 0), "07/09/125 00:00:00: "},
      {make_tm(1905, 10, 10, 10, 10, 10), "10/10/05 10:10:10: "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kvetherd::log_prefix(c.when), c.want);
  }
}

TEST(LogText, ErrorFormOnlyWithItsFlag) {
  EXPECT_EQ(kvetherd::log_text(kvetherd::kNote, "plain", ENOENT), "plain");
  EXPECT_EQ(kvetherd::log_text(kvetherd::kEvent, "event", ENOENT), "event");
  EXPECT_EQ(kvetherd::log_text(kvetherd::kSystemError, "/dev/qmx/vrnn0", ENOENT),
            "/dev/qmx/vrnn0: No such file or directory (errno=2)");
  EXPECT_EQ(kvetherd::log_text(kvetherd::kSystemError, "select", 9999),
            "select: unknown error (errno=9999)");
}

TEST(Logger, StampsEveryLineAndSendsOnlyEventsToSyslog) {
  VirtualClock clock;
  CapturedLog log(clock);
  errno = EIO;
  log.logger().log(kvetherd::kNote, "a note");
  EXPECT_EQ(errno, EIO) << "logging leaves errno alone";
  log.logger().log(kvetherd::kEvent, "an event");
  log.logger().log(kvetherd::kSystemError, "read from driver");

  EXPECT_EQ(log.text(), "01/01/100 00:00:00: a note\n"
                        "01/01/100 00:00:00: an event\n"
                        "01/01/100 00:00:00: read from driver: Input/output error (errno=5)\n");
  const std::vector<std::string> want_syslog{"an event",
                                             "read from driver: Input/output error (errno=5)"};
  EXPECT_EQ(log.syslog, want_syslog);
}

} // namespace
} // namespace kvtest
