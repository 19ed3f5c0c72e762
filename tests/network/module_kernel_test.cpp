// The emulated module inside a running kernel: its engine's calls are kernel work and its
// timed work follows the kernel's clock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>

#include "child_process.h"
#include "fas.h"
#include "kemu/kernel.h"
#include "qdemu/kernel_engine_host.h"
#include "qdemu/lanvara_module.h"
#include "qdnet/socket_util.h"
#include "qdnet/vrn_exchange.h"

namespace nettest {
namespace {

class ModuleOnKernel : public ::testing::Test {
protected:
  void SetUp() override {
    kemu::KernelOptions o;
    o.clock = kemu::ClockMode::kReal;
    o.speed = 100;
    kernel_ = std::make_unique<kemu::Kernel>(o);
    host_ = std::make_unique<qdemu::KernelEngineHost>(*kernel_);
    qdemu::LanvaraOptions mo;
    mo.address = "127.0.0.1";
    mo.port = 0;
    module_ = std::make_unique<qdemu::LanvaraModule>(*host_, mo);
    ASSERT_EQ(module_->start(), 0);
  }
  void TearDown() override {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    module_.reset();
    kernel_->settle();
    for (const kemu::Report& r : kernel_->take_reports()) {
      ADD_FAILURE() << "kernel report: " << r.what;
    }
  }
  void connect() {
    qdnet::VrnExchangeOptions o;
    o.address = module_->address();
    o.port = module_->port();
    o.timeout_ms = static_cast<int>(kLimit.count());
    fd_ = qdnet::vrn_tcp_exchange(o, nullptr);
    ASSERT_GE(fd_, 0);
  }

  std::unique_ptr<kemu::Kernel> kernel_;
  std::unique_ptr<qdemu::KernelEngineHost> host_;
  std::unique_ptr<qdemu::LanvaraModule> module_;
  int fd_ = -1;
};

TEST_F(ModuleOnKernel, EngineCallsRunAsInterruptWork) {
  connect();
  auto kind = kemu::ContextKind::kNone;
  module_->with_engine([&](qdemu::Engine&) { kind = kernel_->context_kind(); });
  kernel_->settle();
  EXPECT_EQ(kind, kemu::ContextKind::kInterrupt);
}

TEST_F(ModuleOnKernel, DelayedAnswersWaitForTheKernelClock) {
  connect();
  constexpr clock_t kDelay = 100;
  module_->with_engine([](qdemu::Engine& e) { e.faults().set_latency(FAS_UNIT_POLL, kDelay); });
  kernel_->settle();
  const clock_t sent = kernel_->lbolt();
  const unsigned char poll[8] = {FAS_UNIT_POLL};
  ASSERT_EQ(::write(fd_, poll, 8), 8);
  unsigned char answer[8];
  ASSERT_EQ(qdnet::sock_read(fd_, answer, 8), 0);
  EXPECT_EQ(answer[0], FAS_UNIT_POLL);
  EXPECT_GE(kernel_->lbolt() - sent, kDelay);
}

} // namespace
} // namespace nettest
