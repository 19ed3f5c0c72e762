// Paths and descriptors that are not nodes go to the system, except ioctl codes whose numbers
// mean something else to the host.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

// A socket bound by another user under a node's name, in a directory of theirs that the
// relative device directory names as well as ours, is not our node: a program given it (as
// its standard input, say) sends it nothing. Nor is a socket of a trusted user that bears a
// node's name but is not the node's file.
TEST(HostFallthrough, ASocketNamedLikeANodeByAnotherUserIsNoNode) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a socket of another user needs root";
  }
  constexpr uid_t kNobody = 65534;
  char ours[] = "/tmp/qdev-ours-XXXXXX";
  char theirs[] = "/tmp/qdev-theirs-XXXXXX";
  ASSERT_NE(::mkdtemp(ours), nullptr);
  ASSERT_NE(::mkdtemp(theirs), nullptr);
  const int cwd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int node = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const int their = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const int mimic = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const int fd2 = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct Restore {
    int cwd;
    std::vector<std::string> dirs;
    std::vector<int> fds;
    ~Restore() {
      [[maybe_unused]] int r = ::seteuid(0) + ::setegid(0) + ::fchdir(cwd);
      ::unsetenv("QD_DEVDIR");
      for (int f : fds) {
        ::close(f);
      }
      for (const std::string& d : dirs) {
        std::filesystem::remove_all(d);
      }
    }
  } restore{cwd, {ours, theirs}, {cwd, node, their, fd, mimic, fd2}};
  auto address = [](const std::string& path) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, path.c_str());
    return sa;
  };
  auto bind_at = [&](int s, const std::string& path) {
    sockaddr_un sa = address(path);
    return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(s, 1) == 0;
  };
  const std::string our_dev = std::string(ours) + "/dev", their_dev = std::string(theirs) + "/dev";
  ASSERT_EQ(::mkdir(our_dev.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(their_dev.c_str(), 0755), 0);
  ASSERT_EQ(::chown(theirs, kNobody, kNobody), 0);
  ASSERT_EQ(::chown(their_dev.c_str(), kNobody, kNobody), 0);
  ASSERT_TRUE(bind_at(node, our_dev + "/ttyc20")) << std::strerror(errno);
  // Theirs, bound by its relative name as that user.
  ASSERT_EQ(::chdir(theirs), 0);
  ASSERT_EQ(::setegid(kNobody), 0);
  ASSERT_EQ(::seteuid(kNobody), 0);
  ASSERT_TRUE(bind_at(their, "dev/ttyc20")) << std::strerror(errno);
  ASSERT_EQ(::seteuid(0), 0);
  ASSERT_EQ(::setegid(0), 0);

  ASSERT_EQ(::chdir(ours), 0);
  ::setenv("QD_DEVDIR", "dev", 1);
  sockaddr_un sa = address(their_dev + "/ttyc20");
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << std::strerror(errno);
  EXPECT_FALSE(qdev::is_device(fd));

  // Root's own, as trusted as the node, elsewhere under the node's name.
  ASSERT_TRUE(bind_at(mimic, std::string(theirs) + "/ttyc20")) << std::strerror(errno);
  sa = address(std::string(theirs) + "/ttyc20");
  ASSERT_EQ(::connect(fd2, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << std::strerror(errno);
  EXPECT_FALSE(qdev::is_device(fd2)) << "the name is not the node";
}

} // namespace
