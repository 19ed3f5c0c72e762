// The host log, buffered: saying a message never waits for the reader; what does not fit is
// dropped and counted, and the count is said once there is room again.
#include "kemu/host_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace {

TEST(HostLog, AReaderThatStopsCostsMessagesNeverAWait) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  kemu::buffer_log(fds[1], "test", 4096);
  // Nobody reads: the pipe fills, then the buffer. Its own writer keeps trying.
  const std::string line = std::string(99, 'x') + "\n";
  constexpr std::uint64_t kLines = 2000;
  for (std::uint64_t i = 0; i < kLines; ++i) {
    kemu::log_text(line);
    kemu::write_log();
  }
  const std::uint64_t dropped = kemu::log_dropped();
  EXPECT_GT(dropped, 0u);
  // The reader comes back: whole lines, as many as were kept, then the count.
  std::string got;
  for (int i = 0; i < 1000; ++i) {
    const bool more = kemu::write_log();
    char buf[8192];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
    } else if (!more) {
      break;
    }
  }
  const std::string note =
      "test: " + std::to_string(dropped) + " messages dropped: nobody read them in time\n";
  ASSERT_GE(got.size(), note.size());
  EXPECT_EQ(got.substr(got.size() - note.size()), note);
  const std::string kept = got.substr(0, got.size() - note.size());
  EXPECT_EQ(kept.size(), (kLines - dropped) * line.size());
  EXPECT_EQ(kept.find_first_not_of(line), std::string::npos) << "lines are kept whole";
  kemu::direct_log();
  ::close(fds[0]);
  ::close(fds[1]);
}

} // namespace
