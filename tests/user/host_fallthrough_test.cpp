// Paths and descriptors that are not nodes go to the system, except ioctl codes whose numbers
// mean something else to the host.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "qdev/qdev.h"

namespace {

TEST(HostFallthrough, FilesAndPipes) {
  char tmpl[] = "/tmp/qdev-file-XXXXXX";
  int made = ::mkstemp(tmpl);
  ASSERT_GE(made, 0);
  ::close(made);
  int fd = qdev::open(tmpl, O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(qdev::is_device(fd));
  EXPECT_EQ(qdev::write(fd, "abc", 3), 3);
  ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  char buf[4] = {};
  EXPECT_EQ(qdev::read(fd, buf, 3), 3);
  EXPECT_STREQ(buf, "abc");
  struct ::stat st {};
  ASSERT_EQ(qdev::stat(tmpl, &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 3);
  EXPECT_EQ(qdev::close(fd), 0);
  ::unlink(tmpl);

  // kNonblock is the host's O_NONBLOCK on anything else.
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  ASSERT_EQ(qdev::fcntl(p[0], F_SETFL, qdev::kNonblock), 0);
  EXPECT_NE(::fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(qdev::read(p[0], buf, 1), -1);
  EXPECT_EQ(errno, EAGAIN);
  ::close(p[0]);
  ::close(p[1]);

  EXPECT_EQ(qdev::open("/nonexistent/qdev", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(HostFallthrough, SystemVCodesNeverReachTheHost) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  int v = 0;
  strioctl s{0, 0, 0, nullptr};
  const int codes[] = {('T' << 8) | 13, ('t' << 8) | 29, I_STR, I_POP,
                       static_cast<int>(0x800C541A)};
  for (int code : codes) {
    SCOPED_TRACE(code);
    errno = 0;
    EXPECT_EQ(qdev::ioctl(p[0], code, &v), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(qdev::ioctl(p[0], code, 0), -1);
    EXPECT_EQ(qdev::ioctl(p[0], code, &s), -1);
    EXPECT_EQ(errno, ENOTTY);
  }
  ::close(p[0]);
  ::close(p[1]);
}

} // namespace
