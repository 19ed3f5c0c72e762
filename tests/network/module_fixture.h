// An emulated Lanvara module for the network tests, on a manual clock (the tools' exchange
// does not need the unit's time to move).
#pragma once

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "child_process.h"
#include "qdemu/engine_host.h"
#include "qdemu/lanvara_module.h"

namespace nettest {

// Captures what a routine writes to a FILE*.
class MemStream {
public:
  MemStream() : f_(::open_memstream(&buf_, &len_)) {}
  ~MemStream() {
    std::fclose(f_);
    std::free(buf_);
  }
  MemStream(const MemStream&) = delete;
  MemStream& operator=(const MemStream&) = delete;
  std::FILE* file() { return f_; }
  std::string text() {
    std::fflush(f_);
    return std::string(buf_, len_);
  }

private:
  char* buf_ = nullptr;
  std::size_t len_ = 0;
  std::FILE* f_;
};

class ModuleTest : public ::testing::Test {
protected:
  // A module on `port` of a loopback address that no parallel test holds (port 0: any).
  qdemu::LanvaraModule& start_module(std::uint16_t port = 0, const char* firmware = "V6.0") {
    qdemu::LanvaraOptions o;
    o.port = port;
    o.unit.firmware = firmware;
    o.unit.seed = static_cast<std::uint32_t>(::getpid());
    const unsigned base = static_cast<unsigned>(::getpid()) * 7u;
    for (unsigned i = 0; i < 64; ++i) {
      const unsigned n = (base + i) % (250u * 250u);
      o.address = "127.88." + std::to_string(n / 250 + 1) + "." + std::to_string(n % 250 + 2);
      module_ = std::make_unique<qdemu::LanvaraModule>(host_, o);
      const int err = module_->start();
      if (err == 0) {
        return *module_;
      }
      if (err != EADDRINUSE) {
        ADD_FAILURE() << "module did not start: " << std::strerror(err);
        break;
      }
    }
    ADD_FAILURE() << "no free loopback address for the module";
    return *module_;
  }
  in_addr_t module_addr() const { return module_->address(); }
  std::string module_addr_text() const {
    in_addr a{module_->address()};
    return ::inet_ntoa(a);
  }
  // Waits (bounded) for the module's state; fails the test when it does not come.
  bool await(const std::function<bool(const qdemu::ModuleStats&)>& pred, const char* what) {
    const bool ok = module_->wait_for(pred, kLimit);
    EXPECT_TRUE(ok) << "module never reached: " << what;
    return ok;
  }

  qdemu::LockedEngineHost host_;
  std::unique_ptr<qdemu::LanvaraModule> module_;
};

} // namespace nettest
