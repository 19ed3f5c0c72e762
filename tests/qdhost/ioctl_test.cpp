// ioctls through the library: I_STR records both ways, errnos, plain values, transparent
// copies, records that carry a 32-bit buffer address, the module requests and credentials.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "served.h"

#include "qdev/qdev.h"
#include "qdev/wire.h"
#include "qdhost/loop_codes.h"

namespace {

using hosttest::Served;
namespace loop = qdhost::loop;

class Ioctl : public Served {
protected:
  void SetUp() override {
    Served::SetUp();
    fd_ = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
    ASSERT_GE(fd_, 0) << std::strerror(errno);
  }
  void TearDown() override {
    if (fd_ >= 0) {
      EXPECT_EQ(qdev::close(fd_), 0);
    }
    for (std::uint32_t h : handles_) {
      qdev::unregister_buffer(h);
    }
    Served::TearDown();
  }
  std::uint32_t handle(void* buf, std::size_t len, qdev::BufferUse use = qdev::BufferUse::kBoth) {
    std::uint32_t h = qdev::register_buffer(buf, len, use);
    EXPECT_NE(h, 0u);
    handles_.push_back(h);
    return h;
  }
  int fd_ = -1;
  std::vector<std::uint32_t> handles_;
};

TEST_F(Ioctl, StrRecordTravelsBothWays) {
  char data[16] = "abcdef";
  strioctl s{loop::kReverse, 0, 6, data};
  EXPECT_EQ(qdev::ioctl(fd_, I_STR, &s), 6) << "the driver's return value";
  EXPECT_EQ(std::string(data, 6), "fedcba");
  EXPECT_EQ(s.ic_len, 6) << "the reply's length";
  EXPECT_EQ(data[6], '\0') << "nothing past the reply";
}

TEST_F(Ioctl, Refusals) {
  struct Case {
    const char* what;
    int cmd;
    int data;
    int error;
  };
  const Case cases[] = {
      {"the driver's errno", loop::kFail, ENOSPC, ENOSPC},
      {"another errno", loop::kFail, EPERM, EPERM},
      {"a code the driver does not know", loop::kLoopIoc | 0x7f, 0, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int v = c.data;
    strioctl s{c.cmd, 0, static_cast<int>(sizeof v), reinterpret_cast<char*>(&v)};
    errno = 0;
    EXPECT_EQ(qdev::ioctl(fd_, I_STR, &s), -1);
    EXPECT_EQ(errno, c.error);
  }
  // A length the stream head refuses never leaves the program.
  strioctl bad{loop::kReverse, 0, -1, nullptr};
  EXPECT_EQ(qdev::ioctl(fd_, I_STR, &bad), -1);
  EXPECT_EQ(errno, EINVAL);
  // A data pointer that the library was not told about is no memory of the program's.
  strioctl lost{loop::kReverse, 0, 4, nullptr};
  EXPECT_EQ(qdev::ioctl(fd_, I_STR, &lost), -1);
  EXPECT_EQ(errno, EFAULT);
  // More buffers registered than one call can expose: refused, not overrun.
  static char many[qdev::wire::kMaxRegions];
  for (char& b : many) {
    handle(&b, 1);
  }
  int v = 0;
  strioctl full{loop::kReverse, 0, static_cast<int>(sizeof v), reinterpret_cast<char*>(&v)};
  EXPECT_EQ(qdev::ioctl(fd_, I_STR, &full), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Ioctl, PlainValue) {
  EXPECT_EQ(qdev::ioctl(fd_, loop::kTwice, 21), 42);
  EXPECT_EQ(qdev::ioctl(fd_, loop::kTwice, 0x1ffffL), 0x3fffe);
}

TEST_F(Ioctl, TransparentCopiesThroughARecordAndAHandle) {
  char text[] = "hello, port";
  loop::LoopCopy rec{static_cast<std::uint32_t>(std::strlen(text)), 0};
  rec.addr = handle(text, sizeof text);
  EXPECT_EQ(qdev::ioctl(fd_, loop::kUpcase, &rec), static_cast<int>(rec.len));
  EXPECT_STREQ(text, "HELLO, PORT");

  // A buffer the driver may only write to cannot be read from.
  char sink[8] = "abc";
  loop::LoopCopy from_only{3, handle(sink, sizeof sink, qdev::BufferUse::kFromDriver)};
  EXPECT_EQ(qdev::ioctl(fd_, loop::kUpcase, &from_only), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_STREQ(sink, "abc");

  // Beyond the end of the registered buffer.
  loop::LoopCopy too_long{static_cast<std::uint32_t>(sizeof text + 1), rec.addr};
  EXPECT_EQ(qdev::ioctl(fd_, loop::kUpcase, &too_long), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST_F(Ioctl, DriverCopiesToA32BitAddressInTheRecord) {
  std::string buf(4096, '.');
  const std::uint32_t h = handle(buf.data(), buf.size(), qdev::BufferUse::kFromDriver);
  struct Case {
    std::uint32_t offset;
    std::uint32_t len;
    char fill;
    int error;
  };
  const Case cases[] = {
      {0, 100, 'x', 0},          // the start
      {4000, 96, 'y', 0},        // up to the last byte
      {4000, 97, 'z', EFAULT},   // one past it
      {0, 0, 'w', 0},            // nothing
      {0x20000, 4, 'v', EFAULT}, // in the gap after the buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    loop::LoopFetch f{static_cast<std::uint8_t>(c.fill), {}, c.len, h + c.offset};
    strioctl s{loop::kFetch, 0, static_cast<int>(sizeof f), reinterpret_cast<char*>(&f)};
    errno = 0;
    EXPECT_EQ(qdev::ioctl(fd_, I_STR, &s), c.error == 0 ? 0 : -1);
    EXPECT_EQ(errno, c.error);
  }
  EXPECT_EQ(buf.substr(0, 100), std::string(100, 'x'));
  EXPECT_EQ(buf.substr(100, 3900), std::string(3900, '.')) << "untouched between the copies";
  EXPECT_EQ(buf.substr(4000), std::string(96, 'y'));

  // Unregistered, the address names nothing.
  ASSERT_EQ(qdev::unregister_buffer(h), 0);
  handles_.clear();
  loop::LoopFetch f{'q', {}, 1, h};
  strioctl s{loop::kFetch, 0, static_cast<int>(sizeof f), reinterpret_cast<char*>(&f)};
  EXPECT_EQ(qdev::ioctl(fd_, I_STR, &s), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(buf[0], 'x');
}

TEST_F(Ioctl, ModuleRequests) {
  EXPECT_EQ(qdev::ioctl(fd_, I_POP, 0), -1) << "nothing pushed yet";
  EXPECT_EQ(errno, EINVAL);
  ASSERT_EQ(qdev::ioctl(fd_, I_PUSH, "passthru"), 0);
  char name[FMNAMESZ + 1] = {};
  ASSERT_EQ(qdev::ioctl(fd_, I_LOOK, name, sizeof name), 0);
  EXPECT_STREQ(name, "passthru");
  // Data still flows through the module.
  ASSERT_EQ(qdev::write(fd_, "m", 1), 1);
  char c = 0;
  EXPECT_EQ(qdev::read(fd_, &c, 1), 1);
  EXPECT_EQ(c, 'm');
  EXPECT_EQ(qdev::ioctl(fd_, I_POP, 0), 0);
  EXPECT_EQ(qdev::ioctl(fd_, I_PUSH, "nosuchmod"), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Ioctl, CallsCarryThePeersCredentials) {
  loop::LoopCred c{9, 9, 9, 9};
  strioctl s{loop::kCred, 0, static_cast<int>(sizeof c), reinterpret_cast<char*>(&c)};
  ASSERT_EQ(qdev::ioctl(fd_, I_STR, &s), 0);
  EXPECT_EQ(c.uid, ::geteuid());
  EXPECT_EQ(c.gid, ::getegid());
  EXPECT_EQ(c.ruid, c.uid) << "real ids are the effective ones";
  EXPECT_EQ(c.rgid, c.gid);

  if (::geteuid() != 0) {
    GTEST_SKIP() << "changing ids needs root";
  }
  // A program of another user: the child reports what the driver saw in its exit status.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(4242) != 0 || ::setuid(4343) != 0) {
      ::_exit(10);
    }
    int fd = qdev::open(node(loop::kEchoNode).c_str(), O_RDWR);
    if (fd < 0) {
      ::_exit(11);
    }
    loop::LoopCred got{};
    strioctl req{loop::kCred, 0, static_cast<int>(sizeof got), reinterpret_cast<char*>(&got)};
    if (qdev::ioctl(fd, I_STR, &req) != 0) {
      ::_exit(12);
    }
    bool ok = got.uid == 4343 && got.gid == 4242 && got.ruid == 4343 && got.rgid == 4242;
    ::_exit(ok ? 0 : 13);
  }
  EXPECT_EQ(hosttest::wait_child(pid), 0);
}

// As on a Unix host, the caller's credentials count, not the opener's: a port opened by root
// and handed to a program of another user gives that program no privilege.
TEST_F(Ioctl, AHandedOverPortCarriesItsNewUsersCredentials) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "changing ids needs root";
  }
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(10);
    }
    loop::LoopCred got{};
    strioctl req{loop::kCred, 0, static_cast<int>(sizeof got), reinterpret_cast<char*>(&got)};
    if (qdev::ioctl(fd_, I_STR, &req) != 0) {
      ::_exit(12);
    }
    ::_exit(got.uid == 65534 && got.gid == 65534 ? 0 : 13);
  }
  EXPECT_EQ(hosttest::wait_child(pid), 0);
  loop::LoopCred c{9, 9, 9, 9};
  strioctl s{loop::kCred, 0, static_cast<int>(sizeof c), reinterpret_cast<char*>(&c)};
  ASSERT_EQ(qdev::ioctl(fd_, I_STR, &s), 0);
  EXPECT_EQ(c.uid, 0u) << "the opener's own calls keep its credentials";
}

} // namespace
