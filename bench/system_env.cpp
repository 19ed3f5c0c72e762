#include "system_env.h"

#include <algorithm>
#include <cstring>

#include "kemu/console.h"
#include "kemu/devopen.h"
#include "kemu/streams.h"
#include "ksys/termios.h"
#include "qd_image.h"
#include "qddrv.h"

namespace qdbench {

namespace {

constexpr clock_t kRoundLimit = 3600L * hz; // virtual time a round may take before it is stuck

std::string port_node(unsigned port) {
  return std::string("ttyc2") + "0123456789abcdefghijklmnopqrstuv"[port];
}

} // namespace

SystemEnv::SystemEnv(const char* model, unsigned ports) {
  kemu::take_console();
  ddi_.emplace(kemu::TreeSpec{});
  scsa_.emplace();
  topo_.emplace(kernel_, *scsa_);
  qdemu::QmxSpec spec{{.model = model}};
  for (unsigned p = 0; p < ports; ++p) {
    spec.loopback({p});
  }
  topo_->add_qmx(0, 2, spec);

  const std::string conf =
      "allow_unload=1;\nname=\"qd\" parent=\"pseudo\" instance=0;\n" + topo_->conf_nodes();
  if (auto err = ddi_->load_conf("qd", "qd.conf", conf)) {
    fail(err->text());
    return;
  }
  scsa_->configure();
  if (ddi_->load(qd_module_image()) != 0) {
    fail("load: " + ddi_->last_error());
    return;
  }
  ddi_->attach_all("qd");

  files_.resize(ports);
  for (unsigned p = 0; p < ports; ++p) {
    int r = -1;
    kernel_.call([&] {
      r = kemu::open_device(port_node(p), FREAD | FWRITE | FNDELAY, nullptr, files_[p]);
      if (r != 0) {
        return;
      }
      termios t{};
      files_[p].ioctl(TCGETS, &t);
      t.c_iflag = 0;
      t.c_oflag = 0;
      t.c_lflag = 0;
      t.c_cflag = CBAUDEXT | (B230400 - 16) | CS8 | CREAD | CLOCAL | CRTSCTS;
      if (!files_[p].ioctl(TCSETS, &t).ok()) {
        r = -1;
        return;
      }
      files_[p].set_flags(FREAD | FWRITE);
    });
    if (r != 0) {
      fail("open " + port_node(p) + " failed: " + std::to_string(r));
      return;
    }
    // Every byte value, in an order of the port's own.
    std::vector<std::byte>& pat = patterns_.emplace_back(1 << 20);
    for (std::size_t i = 0; i < pat.size(); ++i) {
      pat[i] = static_cast<std::byte>(((i + 1) * 0x9E3779B97F4A7C15ull + p) >> 56);
    }
  }
}

SystemEnv::~SystemEnv() {
  for (kemu::StreamFile& f : files_) {
    if (f.is_open()) {
      kernel_.call([&] { f.close(); });
    }
  }
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
      fail("port " + port_node(static_cast<unsigned>(p)) + ": " + std::to_string(got[p]) + " of " +
           std::to_string(bytes) + " bytes back, " + std::to_string(wrong[p]) + " reads wrong");
      return false;
    }
  }
  if (!all) {
    fail("a round did not finish");
  }
  return all;
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
