// The tools' end-to-end fixture.
#include "tool_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qdev/qdev.h"
#include "qdev/tty.h"
#include "qdio.h"

namespace tooltest {

ToolHost::ToolHost() : host_(qdtest::HostSetup{.topology = kTopology}) {}

void ToolHost::SetUp() {
  ASSERT_TRUE(host_.start()) << host_.log();
  // Other users must reach the node sockets in the work directory.
  ASSERT_EQ(::chmod(host_.path("").c_str(), 0711), 0) << std::strerror(errno);
}

void ToolHost::TearDown() {
  if (host_.pid() > 0) {
    EXPECT_EQ(host_.stop(), 0) << host_.log();
  }
}

qdtest::Output ToolHost::run(const std::string& tool, const std::vector<std::string>& args,
                             std::string_view input) {
  return host_.run(tool, args, {}, input);
}

qdtest::Output ToolHost::run_as(uid_t ruid, uid_t euid, const std::string& tool,
                                const std::vector<std::string>& args) {
  auto& copy = copies_[tool];
  if (!copy) {
    copy = std::make_unique<qdtest::ProgramCopy>(tool, kNobody);
  }
  std::vector<std::string> all = {std::to_string(ruid), std::to_string(euid), copy->path()};
  all.insert(all.end(), args.begin(), args.end());
  return host_.run(QD_PROGRAM_RUN_AS, all);
}

qdtest::Output ToolHost::run_unprivileged(const std::string& tool,
                                          const std::vector<std::string>& args) {
  return ::geteuid() == 0 ? run_as(kNobody, kNobody, tool, args) : run(tool, args);
}

HeldPort::HeldPort(const std::string& name) {
  fd_ = qdev::open(node(name).c_str(), O_RDWR | O_NDELAY);
  EXPECT_GE(fd_, 0) << name << ": " << std::strerror(errno);
}

HeldPort::~HeldPort() {
  if (fd_ >= 0) {
    EXPECT_EQ(qdev::close(fd_), 0) << std::strerror(errno);
  }
}

termios HeldPort::termios_now() const {
  termios t{};
  EXPECT_EQ(qdev::tcgetattr(fd_, &t), 0) << std::strerror(errno);
  return t;
}

qd_ext_ctl HeldPort::ext_now() const {
  qd_ext_ctl xc{};
  strioctl s{};
  s.ic_cmd = qd_ioc(QMXGETEXTCTL);
  s.ic_len = sizeof xc;
  s.ic_dp = reinterpret_cast<char*>(&xc);
  EXPECT_GE(qdev::ioctl(fd_, I_STR, &s), 0) << std::strerror(errno);
  return xc;
}

} // namespace tooltest
