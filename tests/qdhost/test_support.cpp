// Temporary directories, signals, and child processes for the host tests. Free of kernel
// headers, so that it may include what it likes.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "served.h"

#include "qdtest/child_wait.h"
#include "qdtest/host_process.h"

namespace hosttest {

TempDir::TempDir() {
  char tmpl[] = "/tmp/qdhost-test-XXXXXX";
  const char* p = ::mkdtemp(tmpl);
  if (p == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  path_ = p;
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
}

std::vector<std::string> TempDir::entries() const {
  return qdtest::dir_entries(path_);
}

namespace {
void ignore_signal(int) {}
} // namespace

InterruptingSignal::InterruptingSignal(void (*handler)(int))
    : old_(std::make_unique<struct sigaction>()) {
  struct sigaction sa {};
  sa.sa_handler = handler != nullptr ? handler : ignore_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0; // no SA_RESTART: a blocked call ends
  ::sigaction(SIGUSR1, &sa, old_.get());
}

InterruptingSignal::~InterruptingSignal() {
  ::sigaction(SIGUSR1, old_.get(), nullptr);
}

bool interrupt_while(const std::function<void()>& fn, const std::function<bool()>& ready) {
  return qdtest::signal_until_return(fn, ready, kLimit);
}

void leave_stale_socket(const std::string& path) {
  int s = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strcpy(sa.sun_path, path.c_str());
  EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << path;
  ::close(s);
}

} // namespace hosttest
