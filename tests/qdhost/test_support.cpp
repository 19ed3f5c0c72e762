// Temporary directories, signals, and child processes for the host tests. Free of kernel
// headers, so that it may include what it likes.
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "served.h"

#include "qdtest/child_wait.h"

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
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread t([&] {
    fn();
    std::lock_guard<std::mutex> lk(m);
    done = true;
    cv.notify_all();
  });
  bool ok = ready();
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  std::unique_lock<std::mutex> lk(m);
  // A signal that lands just before the call starts waiting is lost, as it would be for a
  // system call: send it again until the call has returned.
  while (!done && std::chrono::steady_clock::now() < deadline) {
    ::pthread_kill(t.native_handle(), SIGUSR1);
    cv.wait_for(lk, std::chrono::milliseconds(5), [&] { return done; });
  }
  if (!done) {
    ADD_FAILURE() << "the call did not end on a signal";
    std::abort(); // it never will; the thread cannot be joined
  }
  lk.unlock();
  t.join();
  return ok;
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
