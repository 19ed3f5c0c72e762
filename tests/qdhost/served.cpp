#include "served.h"

#include "kemu/ddi.h"
#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "qdhost/loop_driver.h"
#include "qdhost/node_server.h"

namespace hosttest {

Served::Served() = default;
Served::~Served() = default;

void Served::SetUp() {
  ::setenv("QD_DEVDIR", dir_.path().c_str(), 1);
  kemu::KernelOptions o;
  o.clock = kemu::ClockMode::kReal;
  o.speed = 100;
  kernel_ = std::make_unique<kemu::Kernel>(o);
  ddi_ = std::make_unique<kemu::Ddi>();
  std::string why;
  ASSERT_EQ(qdhost::loop::install(*ddi_, &why), 0) << why;
  server_ =
      std::make_unique<qdhost::NodeServer>(*kernel_, *ddi_, qdhost::NodeServerOptions{dir_.path()});
  ASSERT_EQ(server_->start(), 0) << server_->error();
}

void Served::TearDown() {
  if (server_) {
    server_->stop();
  }
  if (kernel_) {
    EXPECT_EQ(open_streams(), 0u) << "every stream closed once the server stopped";
    kernel_->call([] { kemu::discard_all_streams(); });
  }
  if (ddi_ && ddi_->loaded(qdhost::loop::kDriverName)) {
    EXPECT_EQ(qdhost::loop::remove(*ddi_), 0);
  }
  server_.reset();
  ddi_.reset();
  if (kernel_) {
    for (const kemu::Report& r : kernel_->take_reports()) {
      ADD_FAILURE() << "kernel report: " << r.what;
    }
    kernel_.reset();
  }
  ::unsetenv("QD_DEVDIR");
  EXPECT_TRUE(dir_.entries().empty()) << "the server removed its sockets";
}

std::size_t Served::open_streams() {
  std::size_t n = 0;
  kernel_->call([&] { n = kemu::streams_open_count(); });
  return n;
}

std::size_t Served::calls() const {
  return server_->calls_in_progress();
}

std::size_t Served::connections() const {
  return server_->connection_count();
}

std::vector<std::string> Served::served() const {
  return server_->served();
}

bool Served::await(const std::function<bool()>& pred, const char* what) {
  bool ok = server_->wait_for(pred, kLimit);
  EXPECT_TRUE(ok) << "gave up waiting: " << what;
  return ok;
}

void Served::stop_server() {
  server_->stop();
}

} // namespace hosttest
