// A file as the far end of a port, on a FIFO nobody reads: nothing waits, the port's output
// is held until the reader comes, and nothing is lost.
#include "qdhost/file_far_end.h"

// Before <fcntl.h>, whose FNDELAY macro the kernel's headers cannot follow.
#include "kemu/kernel.h"
#include "qdemu/kernel_engine_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "served.h"

namespace {

// The port side: only hears when the far end takes output again.
class WaitingPort final : public qdemu::PortLink {
public:
  unsigned line() const override { return 0; }
  void receive(std::span<const std::uint8_t>, qdemu::ByteStatus) override {}
  void receive_break() override {}
  void set_carrier(bool) override {}
  void set_dsr(bool) override {}
  void set_cts(bool) override {}
  void set_printer(const qdemu::PrinterStatus&) override {}
  void set_line_pacing(bool) override {}
  void far_end_ready() override {
    std::lock_guard<std::mutex> lk(mu_);
    ready_ = true;
    cv_.notify_all();
  }
  bool wait_ready() {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, hosttest::kLimit, [&] { return ready_; });
  }

private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool ready_ = false;
};

TEST(FileFarEnd, AFifoNobodyReadsHoldsThePortsOutputAndLosesNothing) {
  kemu::KernelOptions o;
  o.clock = kemu::ClockMode::kReal;
  kemu::Kernel kernel(o);
  qdemu::KernelEngineHost host(kernel);
  hosttest::TempDir dir;
  const std::string path = dir / "printer";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::string why;
  auto file = qdhost::FileFarEnd::open(path, host, &why); // no reader yet: must not wait
  ASSERT_NE(file, nullptr) << why;
  WaitingPort port;
  file->attached(port);
  std::string sent;
  for (int i = 0; i < 1000 && !file->holds_output(); ++i) {
    // Not "[" + std::to_string(i), which trips GCC 12's -Wrestrict at -O3.
    const std::string chunk =
        std::string("[").append(std::to_string(i)) + "]" + std::string(1000, '.');
    sent += chunk;
    file->transmit({reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()});
  }
  ASSERT_TRUE(file->holds_output()) << "the FIFO never filled";
  // The reader comes: everything arrives in order, then the port may send again.
  const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::string got;
  while (got.size() < sent.size()) {
    pollfd pf{reader, POLLIN, 0};
    if (::poll(&pf, 1, static_cast<int>(hosttest::kLimit.count())) != 1) {
      break;
    }
    char buf[65536];
    const ssize_t n = ::read(reader, buf, sizeof buf);
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
    }
  }
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
  EXPECT_TRUE(port.wait_ready());
  EXPECT_FALSE(file->holds_output());
  EXPECT_EQ(file->lost(), 0u);
  file->detached();
  kernel.settle(); // the notice to the port
  file.reset();
  ::close(reader);
}

// A regular file is written by a thread of its own: what the port sends arrives whole and in
// order, and output held while much waits is let go again.
TEST(FileFarEnd, ARegularFileTakesEverythingInOrder) {
  kemu::KernelOptions o;
  o.clock = kemu::ClockMode::kReal;
  kemu::Kernel kernel(o);
  qdemu::KernelEngineHost host(kernel);
  hosttest::TempDir dir;
  const std::string path = dir / "printer";
  std::string why;
  auto file = qdhost::FileFarEnd::open(path, host, &why);
  ASSERT_NE(file, nullptr) << why;
  WaitingPort port;
  file->attached(port);
  std::string sent;
  bool held = false;
  for (int i = 0; i < 2000; ++i) {
    const std::string chunk =
        std::string("[").append(std::to_string(i)) + "]" + std::string(1000, '.');
    sent += chunk;
    file->transmit({reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()});
    held = held || file->holds_output();
  }
  if (held) {
    EXPECT_TRUE(port.wait_ready()) << "held output never let go";
  }
  file->detached();
  file.reset(); // writes what is left
  std::ifstream in(path, std::ios::binary);
  const std::string got{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
}

} // namespace
