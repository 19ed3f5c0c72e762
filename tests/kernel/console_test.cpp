// cmn_err and panic on the emulated console.
#include "kemu/console.h"
#include "ksys/cmn_err.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

class ConsoleTest : public ::testing::Test {
protected:
  void SetUp() override { kemu::take_console(); }
};

TEST_F(ConsoleTest, LevelForms) {
  cmn_err(CE_CONT, "Orvane %s %s at bus/target = %u/%u\n", "QMX-8S-57", "1.23", 2u, 5u);
  cmn_err(CE_CONT, "no newline %d", 1);
  cmn_err(CE_NOTE, "note %x", 0xbeef);
  cmn_err(CE_WARN, "Unrecognized Orvane device: %s", "XYZ");
  EXPECT_EQ(kemu::take_console(), "Orvane QMX-8S-57 1.23 at bus/target = 2/5\n"
                                  "no newline 1"
                                  "NOTICE: note beef\n"
                                  "WARNING: Unrecognized Orvane device: XYZ\n");
}

TEST_F(ConsoleTest, TakeEmptiesAndTextDoesNot) {
  cmn_err(CE_CONT, "a");
  EXPECT_EQ(kemu::console_text(), "a");
  EXPECT_EQ(kemu::console_text(), "a");
  EXPECT_EQ(kemu::take_console(), "a");
  EXPECT_EQ(kemu::take_console(), "");
  cmn_err(CE_CONT, "%s", "");
  EXPECT_EQ(kemu::take_console(), "");
}

TEST_F(ConsoleTest, LongTextIsNotCut) {
  const std::string big(10000, 'x');
  cmn_err(CE_WARN, "%s|%d", big.c_str(), 42);
  EXPECT_EQ(kemu::take_console(), "WARNING: " + big + "|42\n");
}

TEST_F(ConsoleTest, StderrModeBypassesTheBuffer) {
  kemu::console_to_stderr(true);
  testing::internal::CaptureStderr();
  cmn_err(CE_NOTE, "to the terminal");
  const std::string err = testing::internal::GetCapturedStderr();
  kemu::console_to_stderr(false);
  EXPECT_EQ(err, "NOTICE: to the terminal\n");
  EXPECT_EQ(kemu::take_console(), "");
}

TEST_F(ConsoleTest, ConcurrentMessagesStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i)
        cmn_err(CE_WARN, "thread %d message %d", t, i);
    });
  for (auto& th : threads)
    th.join();
  const std::string text = kemu::take_console();
  std::vector<int> next(kThreads, 0);
  std::size_t pos = 0;
  int total = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(text.c_str() + pos, "WARNING: thread %d message %d", &t, &i), 2)
        << text.substr(pos, end - pos);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]++); // each thread's messages in its own order
    ++total;
    pos = end + 1;
  }
  EXPECT_EQ(total, kThreads * kEach);
}

TEST(ConsoleDeathTest, PanicStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(panic("lost unit %u", 7u), "panic: lost unit 7");
  EXPECT_DEATH(cmn_err(CE_PANIC, "bad state %d", 3), "panic: bad state 3");
}

} // namespace
