// Ports of emulated units served by qdhost, reached through the device access library: the
// default system, carrier, pseudo-terminals.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "qdev/qdev.h"
#include "qdev/tty.h"
#include "qdtest/child_wait.h"
#include "qdtest/host_process.h"

namespace {

using qdtest::Host;

// Reads from a node until `want` bytes came; what came when the bound ran out.
std::string read_node(int fd, std::size_t want) {
  std::string got;
  while (got.size() < want) {
    pollfd pf{fd, POLLIN, 0};
    if (::poll(&pf, 1, static_cast<int>(qdtest::kLimit.count())) != 1) {
      ADD_FAILURE() << "nothing more came after \"" << got << "\"";
      break;
    }
    char buf[256];
    ssize_t n = qdev::read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) {
      ADD_FAILURE() << "read: " << n << " " << std::strerror(errno);
      break;
    }
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

// The same from a plain descriptor (a pty's slave).
std::string read_fd(int fd, std::size_t want) {
  std::string got;
  while (got.size() < want) {
    pollfd pf{fd, POLLIN, 0};
    if (::poll(&pf, 1, static_cast<int>(qdtest::kLimit.count())) != 1) {
      ADD_FAILURE() << "nothing more came after \"" << got << "\"";
      break;
    }
    char buf[256];
    ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) {
      ADD_FAILURE() << "read: " << std::strerror(errno);
      break;
    }
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

class DefaultSystem : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(host_.start()) << host_.log(); }
  void TearDown() override { EXPECT_EQ(host_.stop(), 0) << host_.log(); }
  Host host_;
};

TEST_F(DefaultSystem, APortWithAPlugIsATerminalThatGivesBackWhatIsWritten) {
  for (const char* node : {"ttyc20", "ttyc23", "ttyc300", "ttyc310"}) {
    SCOPED_TRACE(node);
    int fd = qdev::open(host_.node(node).c_str(), O_RDWR | O_NDELAY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    termios t{};
    EXPECT_EQ(qdev::tcgetattr(fd, &t), 0) << "a port answers the terminal ioctls";
    const std::string line = std::string("through ") + node + "\n";
    ASSERT_EQ(qdev::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    EXPECT_EQ(read_node(fd, line.size()), line);
    EXPECT_EQ(qdev::close(fd), 0);
  }
}

TEST_F(DefaultSystem, ThePortCheckProgramSeesItsLineComeBack) {
  qdtest::Output o = host_.run(QD_PROGRAM_PORTCHECK, {"ttyc21", "one line"});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("ttyc21: wrote \"one line\", read back \"one line\""), std::string::npos)
      << o.out;
}

// Neither takes an option: one is not looked up as a node.
TEST(PortPrograms, AnOptionGetsTheUsage) {
  const struct {
    const char* program;
    std::vector<std::string> args;
    int status;
    const char* usage;
  } cases[] = {
      {QD_PROGRAM_PORTCHECK, {"-h"}, 1, "usage: portcheck NODE [TEXT]\n"},
      {QD_PROGRAM_WITHPORT, {"--help", "true"}, 125, "usage: withport NODE PROGRAM [ARG...]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    qdtest::Child child(c.program, c.args, {"QD_DEVDIR=/nonexistent/qdtest"});
    const qdtest::Output o = child.wait();
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.err, c.usage);
  }
}

TEST_F(DefaultSystem, NodesAreCharacterDevicesWithTheDriversMinors) {
  struct Case {
    const char* node;
    unsigned long minor;
  };
  const Case cases[] = {
      {"qmxdiag", 0xffff},    {"ttyc20", 0x200},  {"ttyc2f", 0x20f},
      {"ttyc20,cu", 0x20200}, {"ttyc300", 0x300}, {"ttyc310", 0x312},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node);
    struct ::stat st {};
    ASSERT_EQ(qdev::stat(host_.node(c.node).c_str(), &st), 0) << std::strerror(errno);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(qdev::minor_of(st.st_rdev), c.minor);
  }
}

TEST_F(DefaultSystem, AnotherUserOpensPortsButNotTheDiagnosticOrAUnitNode) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can act as another user";
  }
  const std::string work = host_.devdir().substr(0, host_.devdir().rfind('/'));
  ASSERT_EQ(::chmod(work.c_str(), 0711), 0) << "the work directory lets others through";
  struct Case {
    const char* node;
    int errno_seen; // 0: opened
  };
  const Case cases[] = {{"qmxdiag", EACCES}, {"vrnn0", EACCES}, {"ttyc20", 0}, {"ttyc21,cu", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node);
    const std::string path = host_.node(c.node);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
        ::_exit(100);
      }
      int fd = qdev::open(path.c_str(), O_RDWR | O_NDELAY);
      ::_exit(fd >= 0 ? (qdev::close(fd) == 0 ? 0 : 101) : errno);
    }
    EXPECT_EQ(qdtest::wait_child(pid), c.errno_seen);
  }
}

TEST_F(DefaultSystem, WithoutCarrierANonBlockingOpenSucceedsAndABlockingOneWaitsForASignal) {
  const std::string port = host_.node("ttyc25"); // nothing plugged in: no carrier
  int fd = qdev::open(port.c_str(), O_RDWR | O_NDELAY);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(qdev::close(fd), 0);

  int blocked = 0, err = 0;
  qdtest::interrupt_call([&] {
    blocked = qdev::open(port.c_str(), O_RDWR);
    err = errno;
  });
  EXPECT_EQ(blocked, -1);
  EXPECT_EQ(err, EINTR);

  // The port is left as it was: a non-blocking open still succeeds.
  fd = qdev::open(port.c_str(), O_RDWR | O_NDELAY);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(qdev::close(fd), 0);
}

TEST_F(DefaultSystem, WithCarrierHeldOnABlockingOpenDoesNotWait) {
  int fd = qdev::open(host_.node("ttyc311").c_str(), O_RDWR);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(qdev::close(fd), 0);
}

TEST_F(DefaultSystem, APseudoTerminalSitsAtTheOtherEndOfItsPort) {
  const std::string link = host_.node("ttyc24.pty");
  struct ::stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0) << link;
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(host_.log().find("ttyc24.pty -> /dev/pts/"), std::string::npos) << host_.log();

  int far = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(far, 0) << std::strerror(errno);
  int fd = qdev::open(host_.node("ttyc24").c_str(), O_RDWR | O_NDELAY);
  ASSERT_GE(fd, 0) << std::strerror(errno);

  const std::string out = "to whoever is there\r\n";
  ASSERT_EQ(qdev::write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
  EXPECT_EQ(read_fd(far, out.size()), out);

  const std::string typed = "typed at the terminal\r";
  ASSERT_EQ(::write(far, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  EXPECT_EQ(read_node(fd, typed.size()), typed);

  EXPECT_EQ(qdev::close(fd), 0);
  ::close(far);
}

TEST_F(DefaultSystem, TextPastedIntoThePseudoTerminalArrivesWholeUnderHardwareFlowControl) {
  int far = ::open(host_.node("ttyc24.pty").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(far, 0) << std::strerror(errno);
  int fd = qdev::open(host_.node("ttyc24").c_str(), O_RDWR | O_NDELAY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  termios t{};
  ASSERT_EQ(qdev::tcgetattr(fd, &t), 0);
  t.c_cflag |= CRTSCTS;
  ASSERT_EQ(qdev::tcsetattr(fd, qdev::TCSANOW, &t), 0);

  // Far more than the port's input buffer, pasted before anyone reads the port.
  std::string text;
  for (int i = 0; text.size() < 16 * 1024; ++i) {
    text += "pasted line " + std::to_string(i) + "\n";
  }
  std::thread paste([&] {
    EXPECT_EQ(::write(far, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  });
  EXPECT_EQ(read_node(fd, text.size()), text);
  paste.join();
  EXPECT_EQ(qdev::close(fd), 0);
  ::close(far);
}

TEST_F(DefaultSystem, ItsLanvaraModuleListensAndItsUnitHasNodes) {
  const std::string address = qdtest::own_loopback_address();
  EXPECT_NE(host_.log().find("lanvara " + address + ":10001 Lanvara8S-115A"), std::string::npos)
      << host_.log();
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(s, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(10001);
  ASSERT_EQ(::inet_pton(AF_INET, address.c_str(), &sa.sin_addr), 1);
  EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << std::strerror(errno);
  ::close(s);

  for (const char* node : {"vrnn0", "ttyn00", "ttyn07", "ttyn00,cu"}) {
    struct ::stat st {};
    EXPECT_EQ(qdev::stat(host_.node(node).c_str(), &st), 0) << node;
  }
}

} // namespace
