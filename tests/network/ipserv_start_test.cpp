// kvipserv's start-up before it waits: the order of its socket and the service look-up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qdnet/ipserv.h"

namespace nettest {
namespace {

// Runs kvipserv's main with every descriptor slot taken, its output on standard error,
// and exits with its status.
[[noreturn]] void run_without_descriptors(std::vector<std::string> args) {
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur > 256) {
    lim.rlim_cur = 256;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
  std::vector<int> taken;
  for (int fd; taken.size() < 256 && (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
    taken.push_back(fd);
  }
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  const int status = qdnet::ipserv::kvipserv_main(static_cast<int>(args.size()), argv.data());
  for (int fd : taken) {
    ::close(fd);
  }
  std::exit(status);
}

// The service file cannot be opened either, so a look-up made first would print its
// unknown-service note before the socket's failure.
TEST(IpservStartDeathTest, NoSocketEndsTheRunBeforeAnyServiceLookUp) {
  EXPECT_EXIT(run_without_descriptors({"kvipserv", "02-6A-11-00-03-63", "127.9.200.10"}),
              ::testing::ExitedWithCode(1), "^socket: Too many open files\n$");
}

} // namespace
} // namespace nettest
