// A pseudo-terminal as the far end of a port: both directions, order, and what happens when
// nobody reads the terminal side.
#include "qdhost/pty_far_end.h"

// Before <fcntl.h>, whose FNDELAY macro the kernel's headers cannot follow.
#include "kemu/kernel.h"
#include "qdemu/kernel_engine_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "served.h"

namespace {

// The port side: records what enters the port.
class RecordingPort final : public qdemu::PortLink {
public:
  unsigned line() const override { return 4; }
  void receive(std::span<const std::uint8_t> bytes, qdemu::ByteStatus) override {
    std::lock_guard<std::mutex> lk(mu_);
    got_.append(bytes.begin(), bytes.end());
    cv_.notify_all();
  }
  void receive_break() override {}
  void set_carrier(bool) override {}
  void set_dsr(bool) override {}
  void set_cts(bool) override {}
  void set_printer(const qdemu::PrinterStatus&) override {}
  void set_line_pacing(bool) override {}

  std::string wait_for(std::size_t n) {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, hosttest::kLimit, [&] { return got_.size() >= n; });
    return got_;
  }

private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::string got_;
};

std::span<const std::uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

class PtyFarEndTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string why;
    // As qdhost serves it: on the kernel's CPU thread, deliveries as interrupt work.
    kemu::KernelOptions o;
    o.clock = kemu::ClockMode::kReal;
    kernel_ = std::make_unique<kemu::Kernel>(o);
    host_ = std::make_unique<qdemu::KernelEngineHost>(*kernel_);
    pty_ = qdhost::PtyFarEnd::open(*host_, &why);
    ASSERT_NE(pty_, nullptr) << why;
    pty_->attached(port_);
    pty_->start();
    slave_ = ::open(pty_->slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(slave_, 0) << pty_->slave_path() << ": " << std::strerror(errno);
  }
  void TearDown() override {
    if (pty_) {
      pty_->stop();
      pty_->detached();
      kernel_->settle(); // a delivery still queued
      pty_.reset();
    }
    if (slave_ >= 0) {
      ::close(slave_);
    }
  }
  // Everything the slave has now, waiting (bounded) for at least `want` bytes.
  std::string read_slave(std::size_t want) {
    std::string got;
    while (got.size() < want) {
      pollfd pf{slave_, POLLIN, 0};
      if (::poll(&pf, 1, static_cast<int>(hosttest::kLimit.count())) != 1) {
        ADD_FAILURE() << "the slave has only " << got.size() << " bytes";
        break;
      }
      char buf[4096];
      ssize_t n = ::read(slave_, buf, sizeof buf);
      if (n > 0) {
        got.append(buf, static_cast<std::size_t>(n));
      }
    }
    return got;
  }

  std::unique_ptr<kemu::Kernel> kernel_;
  std::unique_ptr<qdemu::KernelEngineHost> host_;
  RecordingPort port_;
  std::shared_ptr<qdhost::PtyFarEnd> pty_;
  int slave_ = -1;
};

TEST_F(PtyFarEndTest, WhatThePortSendsReachesTheTerminalUnchanged) {
  // Raw both ways: no newline translation, no echo back into the port.
  const std::string text = "line one\nline two\r\n\x03\x7f";
  pty_->transmit(bytes_of(text));
  EXPECT_EQ(read_slave(text.size()), text);
  const std::string typed = "ab\ncd\r";
  ASSERT_EQ(::write(slave_, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  EXPECT_EQ(port_.wait_for(typed.size()), typed) << "nothing but what was typed";
}

TEST_F(PtyFarEndTest, TypedBytesEnterThePortInOrder) {
  std::string typed;
  for (int i = 0; i < 200; ++i) {
    typed += "key " + std::to_string(i) + ";";
  }
  for (std::size_t at = 0; at < typed.size(); at += 100) {
    const std::string part = typed.substr(at, 100);
    ASSERT_EQ(::write(slave_, part.data(), part.size()), static_cast<ssize_t>(part.size()));
  }
  EXPECT_EQ(port_.wait_for(typed.size()), typed);
}

TEST_F(PtyFarEndTest, WithNobodyReadingTheExcessIsDroppedAndTheRestKeepsItsOrder) {
  std::string sent;
  for (int i = 0; sent.size() < 4 * qdhost::PtyFarEnd::kBacklog; ++i) {
    // Not "[" + std::to_string(i), which trips GCC 12's -Wrestrict at -O3.
    std::string chunk = std::string("[").append(std::to_string(i)) + "]";
    sent += chunk;
    pty_->transmit(bytes_of(chunk));
  }
  EXPECT_GT(pty_->dropped(), 0u);
  EXPECT_LT(pty_->dropped(), sent.size());
  // What arrives is the start of what was sent, without gaps; a reader makes room for the
  // held part, which is then written out.
  const std::size_t expect = sent.size() - pty_->dropped();
  std::string got = read_slave(expect);
  EXPECT_EQ(got.size(), expect);
  EXPECT_EQ(got, sent.substr(0, got.size()));
}

} // namespace
