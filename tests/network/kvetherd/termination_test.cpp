// SIGTERM handling in a child process of its own: acted on at once while the daemon waits,
// noted and acted on at the next wait otherwise; the other signals are ignored.
#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "child.h"
#include "kvetherd/clock.h"
#include "kvetherd/termination.h"

namespace kvtest {
namespace {

int g_marks = -1;

void mark(char c) {
  (void)!::write(g_marks, &c, 1);
}

void on_term() {
  mark('T');
  ::_exit(1);
}

struct Spawn {
  pid_t pid;
  int marks;
};

// Runs body in a child whose marks come back through a pipe; the child never returns.
Spawn run_child(const std::function<void()>& body) {
  int p[2];
  EXPECT_EQ(::pipe2(p, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(p[0]);
    g_marks = p[1];
    kvetherd::install_signal_handlers(on_term);
    body();
    mark('E');
    ::_exit(0);
  }
  ::close(p[1]);
  return Spawn{pid, p[0]};
}

TEST(Termination, SigtermWhileWaitingShutsDownAtOnce) {
  const Spawn r = run_child([] {
    int never[2];
    if (::pipe(never) != 0) {
      ::_exit(3);
    }
    mark('R');
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(never[0], &readable);
    kvetherd::SystemClock().wait_readable(never[0] + 1, &readable, 1000);
  });
  char c = 0;
  ASSERT_EQ(::read(r.marks, &c, 1), 1);
  ASSERT_EQ(c, 'R');
  ASSERT_EQ(::kill(r.pid, SIGTERM), 0);
  EXPECT_EQ(wait_exit(r.pid), 1);
  EXPECT_EQ(read_to_end(r.marks), "T");
}

TEST(Termination, SigtermOutsideAWaitIsNotedAndActedOnAtTheNextWait) {
  const Spawn r = run_child([] {
    ::raise(SIGTERM);
    mark(kvetherd::termination_flag() != 0 ? 'F' : 'f');
    kvetherd::SystemClock().pause(1000);
  });
  EXPECT_EQ(wait_exit(r.pid), 1);
  EXPECT_EQ(read_to_end(r.marks), "FT");
}

TEST(Termination, HangupInterruptQuitAndBrokenPipeAreIgnored) {
  const Spawn r = run_child([] {
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE}) {
      ::raise(sig);
    }
    mark(kvetherd::termination_flag() != 0 ? 'F' : 'f');
  });
  EXPECT_EQ(wait_exit(r.pid), 0);
  EXPECT_EQ(read_to_end(r.marks), "fE");
}

} // namespace
} // namespace kvtest
