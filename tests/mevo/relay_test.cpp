// The relay loop over descriptors: keyboard and screen as socket pairs and pipes, the port a
// stand-in over a socket pair; its endings, the exit signals and the exit path.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>

#include "capture.h"
#include "exit_path.h"
#include "exit_signals.h"
#include "fake_port.h"
#include "lock_file.h"
#include "pty_pair.h"
#include "relay.h"
#include "temp_dir.h"

namespace {

using mevotest::FakePort;

constexpr auto kLimit = std::chrono::seconds(20);

// Reads fd until `want` bytes have come or the bound passes.
std::string read_for(int fd, std::size_t want) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (got.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pf{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&pf, 1, static_cast<int>(left.count())) != 1) {
      break;
    }
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

void send_all(int fd, const std::string& text) {
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

class RelayLoop : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, keyboard_), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, screen_), 0);
    s_.screen_fd = screen_[0];
  }
  void TearDown() override {
    for (int fd : {keyboard_[0], keyboard_[1], screen_[0], screen_[1]}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }
  // Runs a fresh relay's loop on a thread; end() waits for it within the bound, else forces
  // it out by hanging up the port.
  void start() {
    relay_.emplace(s_, port_, keyboard_[0]);
    running_ = std::async(std::launch::async, [this] { return relay_->loop(); });
  }
  int end() {
    if (running_.wait_for(kLimit) != std::future_status::ready) {
      ADD_FAILURE() << "the loop did not end";
      port_.close_far();
    }
    return running_.get();
  }
  void close_keyboard() {
    ::close(keyboard_[1]);
    keyboard_[1] = -1;
  }

  mevo::Session s_;
  FakePort port_;
  int keyboard_[2] = {-1, -1}; // [0] the loop's side
  int screen_[2] = {-1, -1};
  std::optional<mevo::Relay> relay_;
  std::future<int> running_;
};

TEST_F(RelayLoop, BytesBothWaysUntilTheUserLeaves) {
  start();
  // More than the loop takes at once, both ways.
  std::string from_port, typed;
  for (int i = 0; i < 8192; ++i) {
    from_port += static_cast<char>('a' + i % 26);
  }
  for (int i = 0; i < 300; ++i) {
    typed += static_cast<char>(i % 10 == 9 ? '\r' : 'A' + i % 26);
  }
  send_all(port_.far(), from_port);
  send_all(keyboard_[1], typed);
  EXPECT_EQ(read_for(screen_[1], from_port.size()), from_port);
  EXPECT_EQ(read_for(port_.far(), typed.size()), typed);
  send_all(keyboard_[1], "\r");
  EXPECT_EQ(read_for(port_.far(), 1), "\r");
  send_all(keyboard_[1], "~.");
  EXPECT_EQ(end(), 0);
}

TEST_F(RelayLoop, EndOfTheKeyboardSendsWhatWasTypedThenLeaves) {
  send_all(keyboard_[1], "ATZ\r");
  close_keyboard();
  start();
  EXPECT_EQ(end(), 0);
  EXPECT_EQ(read_for(port_.far(), 4), "ATZ\r");
}

TEST_F(RelayLoop, PortHangupEndsWithStatusOne) {
  port_.close_far();
  start();
  EXPECT_EQ(end(), 1);
}

TEST_F(RelayLoop, PortWriteFailureEndsWithStatusOne) {
  port_.write_fails = true;
  send_all(keyboard_[1], "x");
  start();
  EXPECT_EQ(end(), 1);
}

TEST_F(RelayLoop, ScreenWriteFailureEndsWithStatusOne) {
  const int read_only = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(read_only, 0);
  s_.screen_fd = read_only;
  send_all(port_.far(), "y");
  mevotest::CapturedStderr err;
  start();
  EXPECT_EQ(end(), 1);
  EXPECT_EQ(err.text().rfind("write to user output failed: ", 0), 0u) << err.text();
  ::close(read_only);
}

TEST_F(RelayLoop, KeyboardThatCannotBeRead) {
  mevotest::TempDir dir;
  const int not_a_keyboard = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(not_a_keyboard, 0);
  mevo::Relay relay(s_, port_, not_a_keyboard);
  mevotest::CapturedStderr err;
  EXPECT_EQ(relay.loop(), 1);
  EXPECT_EQ(err.text().rfind("read from user: ", 0), 0u) << err.text();
  ::close(not_a_keyboard);
}

TEST_F(RelayLoop, ExitSignalsEndWithTheirNumber) {
  for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGALRM}) {
    SCOPED_TRACE(sig);
    mevo::install_exit_signals();
    start();
    // Whether the loop is in select or between two passes, the signal is not lost.
    ::kill(::getpid(), sig);
    EXPECT_EQ(end(), sig);
    mevo::remove_exit_signals();
  }
}

// In a child: the exit path entered, a signal ends the process at once with status 1.
TEST(ExitSignals, ASecondSignalOnTheWayOutEndsAtOnce) {
  struct Case {
    bool exiting;
    int want;
  };
  for (const Case& c : {Case{false, SIGTERM}, Case{true, 1}}) {
    pid_t child = ::fork();
    if (child == 0) {
      mevo::install_exit_signals();
      if (c.exiting) {
        mevo::enter_exit_path();
      }
      ::raise(SIGTERM);
      ::_exit(mevo::pending_exit_signal());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.want);
  }
}

class ExitPath : public ::testing::Test {
protected:
  void SetUp() override {
    s_.screen_fd = screen_.fd();
    ASSERT_EQ(mevo::lock_tty(dir_.path(), "/dev/null", ::getpid(), &s_.lock_file), 0);
  }
  mevotest::TempDir dir_;
  mevo::Session s_;
  FakePort port_;
  mevotest::Screen screen_;
};

TEST_F(ExitPath, LockRemovedAndSignalsDropped) {
  EXPECT_EQ(mevo::leave_program(s_, &port_, nullptr, 7), 7);
  EXPECT_EQ(dir_.count(), 0u);
  EXPECT_TRUE(s_.lock_file.empty());
  EXPECT_EQ(port_.modem_sets, std::vector<int>{0});
  EXPECT_TRUE(port_.exten_calls.empty());
  EXPECT_EQ(screen_.take(), "") << "the user's terminal was never changed";
}

TEST_F(ExitPath, OptionILeavesThePortAlone) {
  s_.init_port = 0;
  s_.baud_exten_supported = 1;
  EXPECT_EQ(mevo::leave_program(s_, &port_, nullptr, 0), 0);
  EXPECT_TRUE(port_.modem_sets.empty());
  EXPECT_TRUE(port_.exten_calls.empty());
  EXPECT_EQ(dir_.count(), 0u);
}

TEST_F(ExitPath, SpeedExtensionReset) {
  s_.baud_exten_supported = 1;
  EXPECT_EQ(mevo::leave_program(s_, &port_, nullptr, 0), 0);
  EXPECT_EQ(port_.exten_calls, std::vector<int>{0});
}

TEST_F(ExitPath, TheUsersTerminalComesBackWithAWord) {
  mevotest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  mevo::UserTerminal user(pty.slave());
  ASSERT_EQ(user.save_user_params(), 0);
  EXPECT_EQ(mevo::leave_program(s_, &port_, &user, 0), 0);
  EXPECT_EQ(screen_.take(), "MEVO\a closing...\n");
}

TEST_F(ExitPath, AFailingStepMakesTheStatusOne) {
  port_.modem_fails = true;
  EXPECT_EQ(mevo::leave_program(s_, &port_, nullptr, 0), 1);
  EXPECT_EQ(dir_.count(), 0u) << "the lock went first";
}

TEST_F(ExitPath, AUserTerminalThatCannotBeRestored) {
  mevotest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  mevo::UserTerminal user(pty.slave());
  ASSERT_EQ(user.save_user_params(), 0);
  // The descriptor now names something that is not a terminal.
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::dup2(null_fd, pty.slave()), pty.slave());
  ::close(null_fd);
  mevotest::CapturedStderr err;
  EXPECT_EQ(mevo::leave_program(s_, &port_, &user, 0), 1);
  EXPECT_FALSE(user.user_setup_saved());
  EXPECT_EQ(err.text().rfind("restore_user_params: tcsetattr: ", 0), 0u) << err.text();
  EXPECT_EQ(screen_.take(), "");
  EXPECT_EQ(dir_.count(), 0u);
}

} // namespace
