// Opening, reading, writing and closing nodes through the programs' library, with a node
// server in the test process: data, readiness, no-delay modes, hangups and device numbers.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "served.h"

#include "qdev/qdev.h"
#include "qdhost/loop_codes.h"

namespace {

using hosttest::Served;
namespace loop = qdhost::loop;

bool readable(int fd, int timeout_ms) {
  pollfd pf{fd, POLLIN, 0};
  return ::poll(&pf, 1, timeout_ms) == 1 && (pf.revents & POLLIN) != 0;
}

bool eventually_readable(int fd) {
  return readable(fd, static_cast<int>(hosttest::kLimit.count()));
}

// Nothing waits in the socket: no stray notice, no unread result.
bool socket_empty(int fd) {
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
}

std::string read_some(int fd, std::size_t n = 256) {
  std::string buf(n, '\0');
  ssize_t got = qdev::read(fd, buf.data(), n);
  return got < 0 ? "<errno " + std::to_string(errno) + ">" : buf.substr(0, std::size_t(got));
}

ssize_t write_text(int fd, const std::string& s) {
  return qdev::write(fd, s.data(), s.size());
}

class DeviceIo : public Served {};

TEST_F(DeviceIo, EchoesThroughTheStreamAndClosesIt) {
  int fd = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_TRUE(qdev::is_device(fd));
  EXPECT_EQ(open_streams(), 1u);
  EXPECT_EQ(write_text(fd, "hello"), 5);
  ASSERT_TRUE(eventually_readable(fd));
  EXPECT_EQ(read_some(fd), "hello");
  EXPECT_EQ(qdev::close(fd), 0);
  EXPECT_FALSE(qdev::is_device(fd));
  EXPECT_EQ(open_streams(), 0u);
  EXPECT_EQ(qdev::read(fd, nullptr, 0), -1) << "the descriptor is gone";
  EXPECT_EQ(errno, EBADF);
}

TEST_F(DeviceIo, ProgramsSpellingOfTheDirectoryReachesTheServedOne) {
  int fd = qdev::open("/dev/qmx/loop0,cu", O_RDWR);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(write_text(fd, "cu"), 2);
  EXPECT_EQ(read_some(fd), "cu");
  EXPECT_EQ(qdev::close(fd), 0);
}

TEST_F(DeviceIo, OpenRefusals) {
  EXPECT_EQ(qdev::open(node("nosuch").c_str(), O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(qdev::open(node(loop::kBlockDevNode).c_str(), O_RDWR), -1) << "block nodes unserved";
  EXPECT_EQ(errno, ENOENT);

  // A socket nobody listens on is a node without a server.
  std::string stale = node("stale0");
  hosttest::leave_stale_socket(stale);
  EXPECT_EQ(qdev::open(stale.c_str(), O_RDWR), -1);
  EXPECT_EQ(errno, ENXIO);
  struct ::stat st {};
  EXPECT_EQ(qdev::stat(stale.c_str(), &st), -1);
  EXPECT_EQ(errno, ENXIO);
  ::unlink(stale.c_str());
}

TEST_F(DeviceIo, ReadableExactlyWhileDataIsQueued) {
  int fd = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(readable(fd, 0));
  ASSERT_EQ(write_text(fd, "ab"), 2);
  ASSERT_TRUE(eventually_readable(fd));
  EXPECT_EQ(read_some(fd, 1), "a");
  EXPECT_TRUE(eventually_readable(fd)) << "one byte left";
  EXPECT_EQ(read_some(fd, 1), "b");
  EXPECT_FALSE(readable(fd, 0));
  EXPECT_TRUE(socket_empty(fd));

  // Calls other than read consume notices on the way and leave one if still readable.
  ASSERT_EQ(write_text(fd, "cd"), 2);
  ASSERT_TRUE(eventually_readable(fd));
  EXPECT_EQ(qdev::ioctl(fd, loop::kTwice, 4), 8);
  EXPECT_TRUE(eventually_readable(fd));
  EXPECT_EQ(read_some(fd), "cd");
  EXPECT_FALSE(readable(fd, 0));
  EXPECT_TRUE(socket_empty(fd));
  EXPECT_EQ(qdev::close(fd), 0);
}

TEST_F(DeviceIo, DataFromElsewhereWakesAWaitingProgram) {
  int a = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
  int b = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(open_streams(), 1u) << "one stream per minor";
  // b's write comes up the shared stream: a learns of it without asking.
  ASSERT_EQ(write_text(b, "shared"), 6);
  ASSERT_TRUE(eventually_readable(a));
  EXPECT_EQ(read_some(a), "shared");
  EXPECT_EQ(qdev::close(b), 0);

  // Data sent up later, from a callout.
  char text[] = "later";
  strioctl s{loop::kLater, 0, 5, text};
  ASSERT_EQ(qdev::ioctl(a, I_STR, &s), 0);
  ASSERT_TRUE(eventually_readable(a));
  EXPECT_EQ(read_some(a), "later");
  EXPECT_TRUE(socket_empty(a));
  EXPECT_EQ(qdev::close(a), 0);
}

TEST_F(DeviceIo, NoDelayModes) {
  struct Case {
    const char* what;
    int open_flags;
    ssize_t result;
    int error;
  };
  const Case cases[] = {
      {"O_NDELAY: System V no-delay", O_RDWR | O_NDELAY, 0, 0},
      {"kNonblock: POSIX non-blocking", O_RDWR | qdev::kNonblock, -1, EAGAIN},
      {"both: POSIX wins", O_RDWR | O_NDELAY | qdev::kNonblock, -1, EAGAIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int fd = qdev::open(node(loop::kEchoNode).c_str(), c.open_flags);
    ASSERT_GE(fd, 0);
    char buf[8];
    errno = 0;
    EXPECT_EQ(qdev::read(fd, buf, sizeof buf), c.result);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(qdev::fcntl(fd, F_GETFL) & (O_NDELAY | qdev::kNonblock),
              c.open_flags & (O_NDELAY | qdev::kNonblock));
    EXPECT_EQ(qdev::close(fd), 0);
  }

  // Made blocking again after an open with O_NDELAY, and back.
  int fd = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR | O_NDELAY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(qdev::fcntl(fd, F_SETFL, 0), 0);
  EXPECT_EQ(qdev::fcntl(fd, F_GETFL), O_RDWR);
  ASSERT_EQ(qdev::fcntl(fd, F_SETFL, qdev::kNonblock), 0);
  char c;
  EXPECT_EQ(qdev::read(fd, &c, 1), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(qdev::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "other commands: the socket";
  EXPECT_EQ(qdev::close(fd), 0);
}

TEST_F(DeviceIo, HangupReadsAsEndOfFileAndStaysReadable) {
  int fd = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write_text(fd, "last"), 4);
  strioctl s{loop::kHangup, 0, 0, nullptr};
  ASSERT_EQ(qdev::ioctl(fd, I_STR, &s), 0);
  ASSERT_TRUE(eventually_readable(fd));
  EXPECT_EQ(read_some(fd), "last") << "queued data first";
  EXPECT_EQ(read_some(fd), "");
  EXPECT_TRUE(eventually_readable(fd)) << "end of file stays readable";
  EXPECT_EQ(read_some(fd), "");
  EXPECT_EQ(write_text(fd, "x"), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(qdev::close(fd), 0);
}

TEST_F(DeviceIo, TransfersLongerThanOnePacket) {
  int fd = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  std::string out(150000, '\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char>('a' + i % 23);
  }
  ASSERT_EQ(write_text(fd, out), static_cast<ssize_t>(out.size()));
  std::string in;
  while (in.size() < out.size()) {
    std::string part = read_some(fd, 100000);
    ASSERT_FALSE(part.empty() || part[0] == '<') << part;
    in += part;
  }
  EXPECT_EQ(in, out);
  EXPECT_FALSE(readable(fd, 0));
  EXPECT_EQ(qdev::close(fd), 0);
}

TEST_F(DeviceIo, StatReportsTheDriversDeviceNumber) {
  struct Case {
    const char* name;
    unsigned long minor;
  };
  const Case cases[] = {{loop::kEchoNode, loop::kEchoMinor},
                        {loop::kDialoutNode, loop::kDialoutMinor},
                        {loop::kCtlNode, loop::kCtlMinor}};
  unsigned long major = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    struct ::stat st {};
    ASSERT_EQ(qdev::stat(node(c.name).c_str(), &st), 0) << std::strerror(errno);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(st.st_rdev & 0x3ffff, c.minor);
    EXPECT_EQ(qdev::minor_of(st.st_rdev), c.minor);
    EXPECT_NE(qdev::major_of(st.st_rdev), 0u);
    if (major != 0) {
      EXPECT_EQ(qdev::major_of(st.st_rdev), major) << "one driver";
    }
    major = qdev::major_of(st.st_rdev);
  }
  EXPECT_TRUE(await([&] { return connections() == 0; }, "stat's connection to end"));

  struct ::stat st {};
  EXPECT_EQ(qdev::stat(node("nosuch").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  // Anything else is the system's.
  EXPECT_EQ(qdev::stat(dir_.path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(DeviceIo, StoppingTheServerEndsEveryOpen) {
  int fd = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  stop_server();
  EXPECT_EQ(open_streams(), 0u);
  EXPECT_TRUE(dir_.entries().empty());
  EXPECT_TRUE(eventually_readable(fd)) << "the end of the socket";
  char c;
  EXPECT_EQ(qdev::read(fd, &c, 1), 0) << "as after a hangup";
  EXPECT_EQ(write_text(fd, "x"), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(qdev::close(fd), 0);
}

} // namespace
