#include "system_env.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>

#include "kemu/console.h"
#include "kemu/devopen.h"
#include "kemu/streams.h"
#include "ksys/stropts.h"
#include "ksys/termios.h"
#include "port_pattern.h"
#include "qd_image.h"
#include "qddrv.h"
#include "qdio.h"
#include "qdnet/vrn_exchange.h"

namespace qdbench {

namespace {

constexpr clock_t kRoundLimit = 3600L * hz; // virtual time a round may take before it is stuck

std::string port_node(UnitKind kind, unsigned port) {
  return std::string(kind == UnitKind::qmx ? "ttyc2" : "ttyn0") +
         "0123456789abcdefghijklmnopqrstuv"[port];
}

} // namespace

namespace {
kemu::KernelOptions clock_options(kemu::ClockMode clock) {
  kemu::KernelOptions o;
  o.clock = clock;
  return o;
}
} // namespace

SystemEnv::SystemEnv(UnitKind kind, const char* model, unsigned ports, kemu::ClockMode clock)
    : kernel_(clock_options(clock)) {
  kemu::take_console();
  ddi_.emplace(kemu::TreeSpec{});
  scsa_.emplace();
  topo_.emplace(kernel_, *scsa_);
  std::string conf = "allow_unload=1;\nname=\"qd\" parent=\"pseudo\" instance=0;\n";
  if (kind == UnitKind::qmx) {
    qdemu::QmxSpec spec{{.model = model}};
    for (unsigned p = 0; p < ports; ++p) {
      spec.loopback({p});
    }
    topo_->add_qmx(0, 2, spec);
    conf += topo_->conf_nodes();
  } else {
    conf += std::string("vrn0=\"") + model + ",127.0.0.2\";\n";
  }
  if (!load(conf)) {
    return;
  }
  if (kind == UnitKind::lanvara) {
    const bool real = clock == kemu::ClockMode::kReal;
    if (!(real ? start_tcp_relay(model, ports) : start_relay(model, ports))) {
      return;
    }
  }
  open_ports(kind, ports);
}

bool SystemEnv::load(const std::string& conf) {
  if (auto err = ddi_->load_conf("qd", "qd.conf", conf)) {
    fail(err->text());
    return false;
  }
  scsa_->configure();
  if (ddi_->load(qd_module_image()) != 0) {
    fail("load: " + ddi_->last_error());
    return false;
  }
  ddi_->attach_all("qd");
  return true;
}

bool SystemEnv::start_relay(const char* model, unsigned ports) {
  const qd_unitinfo* info = qdm_get_unitinfo(model);
  if (info == nullptr) {
    fail(std::string("no model ") + model);
    return false;
  }
  clock_.emplace(kernel_);
  qdemu::UnitOptions options;
  options.firmware = "V6.0";
  engine_ = std::make_unique<qdemu::Engine>(*clock_, *info, options);
  for (unsigned p = 0; p < ports; ++p) {
    engine_->attach(p, std::make_shared<qdemu::LoopbackPlug>());
  }
  mutex_init(&relay_mutex_, "relay_mutex", MUTEX_DRIVER, nullptr);
  cv_init(&relay_cv_, "relay_cv", CV_DRIVER, nullptr);
  engine_->set_listener([this](qdemu::Notice n) {
    if (n == qdemu::Notice::answers_ready) {
      cv_signal(&relay_cv_);
    }
  });

  int r = -1;
  kernel_.call([&] { r = kemu::open_device("vrnn0", FREAD | FWRITE, nullptr, node_); });
  if (r != 0) {
    fail("open vrnn0 failed: " + std::to_string(r));
    return false;
  }
  // What the driver sends: each read is one packet of commands.
  down_ = kernel_.spawn([this] {
    std::vector<std::byte> buf(8192);
    for (;;) {
      const kemu::IoResult got = node_.read(buf);
      if (got.value <= 0) {
        return;
      }
      engine_->feed_stream(std::span(reinterpret_cast<const std::uint8_t*>(buf.data()),
                                     static_cast<std::size_t>(got.value)));
    }
  });
  // What the unit answers, in pieces as a socket would deliver them.
  up_ = kernel_.spawn([this] {
    std::vector<std::uint8_t> answers;
    mutex_enter(&relay_mutex_);
    for (;;) {
      while (!relay_stop_ && !engine_->answers_waiting()) {
        cv_wait(&relay_cv_, &relay_mutex_);
      }
      if (relay_stop_) {
        break;
      }
      answers.clear();
      engine_->take_answers_into(4096, answers);
      mutex_exit(&relay_mutex_);
      if (!answers.empty() && node_.write(std::as_bytes(std::span(answers))).value <= 0) {
        return;
      }
      mutex_enter(&relay_mutex_);
    }
    mutex_exit(&relay_mutex_);
  });
  return go_online();
}

bool SystemEnv::go_online() {
  kemu::IoResult online;
  kernel_.call([&] {
    strioctl sio{qd_ioc(VRNONLINE), -1, 0, nullptr};
    online = node_.ioctl(I_STR, &sio);
  });
  if (!online.ok()) {
    fail("VRNONLINE failed: " + std::to_string(online.error));
    return false;
  }
  return true;
}

bool SystemEnv::start_tcp_relay(const char* model, unsigned ports) {
  host_ = std::make_unique<qdemu::KernelEngineHost>(kernel_);
  qdemu::LanvaraOptions mo;
  mo.address = "127.0.0.2";
  mo.port = 0;
  mo.model = model;
  module_ = std::make_unique<qdemu::LanvaraModule>(*host_, mo);
  if (module_->start() != 0) {
    fail("the module did not start");
    return false;
  }
  module_->with_engine([ports](qdemu::Engine& e) {
    for (unsigned p = 0; p < ports; ++p) {
      e.attach(p, std::make_shared<qdemu::LoopbackPlug>());
    }
  });
  int r = -1;
  kernel_.call([&] { r = kemu::open_device("vrnn0", FREAD | FWRITE, nullptr, node_); });
  if (r != 0) {
    fail("open vrnn0 failed: " + std::to_string(r));
    return false;
  }
  qdnet::VrnExchangeOptions o;
  o.address = module_->address();
  o.port = module_->port();
  sock_ = qdnet::vrn_tcp_exchange(o, nullptr);
  if (sock_ < 0) {
    fail("no exchange with the module");
    return false;
  }

  // What the driver sends goes to the module, what the module answers to the driver.
  down_thread_ = std::thread([this] {
    std::vector<std::byte> buf(8192);
    for (;;) {
      kemu::IoResult got;
      kernel_.call([&] {
        down_ctx_ = kernel_.context_id();
        got = node_.read(buf);
      });
      if (got.value <= 0 || ::send(sock_, buf.data(), static_cast<std::size_t>(got.value),
                                   MSG_NOSIGNAL) != got.value) {
        down_done_ = true;
        return;
      }
    }
  });
  up_thread_ = std::thread([this] {
    std::vector<std::byte> buf(8192);
    for (;;) {
      const ssize_t n = ::recv(sock_, buf.data(), buf.size(), 0);
      if (n <= 0) {
        return;
      }
      kemu::IoResult put;
      kernel_.call([&] { put = node_.write(std::span(buf.data(), static_cast<std::size_t>(n))); });
      if (put.value <= 0) {
        return;
      }
    }
  });
  return go_online();
}

void SystemEnv::stop_relay() {
  if (down_thread_.joinable()) {
    ::shutdown(sock_, SHUT_RDWR); // ends the up thread's recv
    // The down thread sits in a read on the unit node: a signal ends it (again, should it
    // have been between two reads).
    while (!down_done_) {
      kernel_.post_signal(down_ctx_.load());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    down_thread_.join();
    up_thread_.join();
    ::close(sock_);
    kernel_.call([&] { node_.close(); });
    module_.reset();
    host_.reset();
    return;
  }
  if (!down_) {
    return;
  }
  kernel_.call([&] {
    relay_stop_ = true;
    cv_signal(&relay_cv_);
  });
  kernel_.post_signal(*down_); // ends its read
  up_->join();
  down_->join();
  kernel_.call([&] { node_.close(); });
  engine_->set_listener({});
}

bool SystemEnv::open_ports(UnitKind kind, unsigned ports) {
  // Speeds above 38400 are in the extended field.
  const tcflag_t speed = CBAUDEXT | ((kind == UnitKind::qmx ? B230400 : B115200) - 16);
  files_.resize(ports);
  for (unsigned p = 0; p < ports; ++p) {
    int r = -1;
    kernel_.call([&] {
      r = kemu::open_device(port_node(kind, p), FREAD | FWRITE | FNDELAY, nullptr, files_[p]);
      if (r != 0) {
        return;
      }
      termios t{};
      files_[p].ioctl(TCGETS, &t);
      t.c_iflag = 0;
      t.c_oflag = 0;
      t.c_lflag = 0;
      t.c_cflag = speed | CS8 | CREAD | CLOCAL | CRTSCTS;
      if (!files_[p].ioctl(TCSETS, &t).ok()) {
        r = -1;
        return;
      }
      files_[p].set_flags(FREAD | FWRITE);
    });
    if (r != 0) {
      fail("open " + port_node(kind, p) + " failed: " + std::to_string(r));
      return false;
    }
    patterns_.push_back(port_pattern(p));
  }
  kind_ = kind;
  return true;
}

SystemEnv::~SystemEnv() {
  for (kemu::StreamFile& f : files_) {
    if (f.is_open()) {
      kernel_.call([&] { f.close(); });
    }
  }
  stop_relay();
  if (ddi_->loaded("qd")) {
    for (dev_info_t* dip : ddi_->nodes_of("qd")) {
      ddi_->set_prop(dip, "allow_unload", 1);
    }
    if (ddi_->unload("qd") != 0) {
      ddi_->unload("qd"); // the first attempt may only warn
    }
  }
  topo_.reset();
  scsa_.reset();
  ddi_.reset();
  engine_.reset();
  kernel_.shutdown();
  kemu::take_console();
}

void SystemEnv::fail(std::string why) {
  if (error_.empty()) {
    error_ = std::move(why) + "\n" + kemu::take_console();
  }
}

bool SystemEnv::round_trip(std::size_t bytes) {
  const std::size_t ports = files_.size();
  std::vector<std::size_t> got(ports, 0);
  std::vector<std::size_t> wrong(ports, 0);
  std::vector<std::unique_ptr<kemu::Kernel::Task>> tasks;
  for (std::size_t p = 0; p < ports; ++p) {
    tasks.push_back(kernel_.spawn([&, p] {
      const std::vector<std::byte>& pat = patterns_[p];
      for (std::size_t off = 0; off < bytes;) {
        const std::size_t n = std::min(bytes - off, pat.size());
        const kemu::IoResult r = files_[p].write(std::span(pat.data(), n));
        if (r.value <= 0) {
          return;
        }
        off += static_cast<std::size_t>(r.value);
      }
    }));
    tasks.push_back(kernel_.spawn([&, p] {
      std::vector<std::byte> buf(8192);
      const std::vector<std::byte>& pat = patterns_[p];
      while (got[p] < bytes) {
        const kemu::IoResult r = files_[p].read(buf);
        if (r.value <= 0) {
          return;
        }
        const auto n = static_cast<std::size_t>(r.value);
        const std::size_t at = got[p] % pat.size();
        const std::size_t first = std::min(n, pat.size() - at);
        wrong[p] += std::memcmp(buf.data(), pat.data() + at, first) != 0 ||
                    std::memcmp(buf.data() + first, pat.data(), n - first) != 0;
        got[p] += n;
      }
    }));
  }
  bool all = true;
  for (auto& t : tasks) {
    all = t->join(kRoundLimit) && all;
  }
  for (std::size_t p = 0; p < ports; ++p) {
    if (got[p] != bytes || wrong[p] != 0) {
      fail("port " + port_node(kind_, static_cast<unsigned>(p)) + ": " + std::to_string(got[p]) +
           " of " + std::to_string(bytes) + " bytes back, " + std::to_string(wrong[p]) +
           " reads wrong");
      return false;
    }
  }
  if (!all) {
    fail("a round did not finish");
  }
  return all;
}

double SystemEnv::echo(unsigned port) {
  kemu::StreamFile& f = files_.at(port);
  const std::byte out{0x5a};
  std::byte in{0};
  kemu::IoResult w, r;
  const auto start = std::chrono::steady_clock::now();
  kernel_.call([&] { w = f.write(std::span(&out, 1)); });
  kernel_.call([&] { r = f.read(std::span(&in, 1)); });
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (w.value != 1 || r.value != 1 || in != out) {
    fail("the echo did not come back");
    return -1;
  }
  return took.count();
}

MemorySample SystemEnv::memory() const {
  std::size_t driver_blocks = 0;
  for (const qd_mem_hdr* h = qd_mem_head; h != nullptr; h = h->next) {
    ++driver_blocks;
  }
  return {.driver_blocks = driver_blocks,
          .kmem_blocks = kernel_.kmem_outstanding_count(),
          .kmem_bytes = kernel_.kmem_outstanding_bytes(),
          .packets = qd_pkts.qd_pkt_cnt,
          .message_blocks = kemu::streams_outstanding_blocks()};
}

} // namespace qdbench
