// The diagnostic fixture's units, streams and requests, and its handle memory.
#include "diag_fixture.h"

#include <cerrno>
#include <cstring>

namespace diag_test {

// ---- HandleMemory --------------------------------------------------------------------------

std::uint32_t HandleMemory::map(std::span<std::uint8_t> buf) {
  const std::uint32_t h = next_;
  bufs_[h] = buf;
  next_ += static_cast<std::uint32_t>((buf.size() + 0xfff) & ~std::size_t{0xfff}) + 0x1000;
  return h;
}

std::uint8_t* HandleMemory::find(std::uintptr_t uaddr, std::size_t n) {
  auto it = bufs_.upper_bound(static_cast<std::uint32_t>(uaddr));
  if (it == bufs_.begin()) {
    return nullptr;
  }
  --it;
  const std::uintptr_t off = uaddr - it->first;
  if (off > it->second.size() || n > it->second.size() - off) {
    return nullptr;
  }
  return it->second.data() + off;
}

int HandleMemory::copyin(std::uintptr_t uaddr, void* dst, std::size_t n) {
  if (n == 0) {
    return 0; // a request without a record
  }
  if (uaddr <= 0xffffffffu) {
    std::uint8_t* p = find(uaddr, n);
    if (p == nullptr) {
      return EFAULT;
    }
    std::memcpy(dst, p, n);
    return 0;
  }
  return kemu::in_process_memory().copyin(uaddr, dst, n);
}

int HandleMemory::copyout(const void* src, std::uintptr_t uaddr, std::size_t n) {
  if (n == 0) {
    return 0;
  }
  if (uaddr <= 0xffffffffu) {
    std::uint8_t* p = find(uaddr, n);
    if (p == nullptr) {
      return EFAULT;
    }
    std::memcpy(p, src, n);
    return 0;
  }
  return kemu::in_process_memory().copyout(src, uaddr, n);
}

// ---- DiagFixture ---------------------------------------------------------------------------

void DiagFixture::TearDown() {
  for (auto& f : files_) {
    if (f->is_open()) {
      as(kemu::Kernel::root_cred(), [&] { f->close(); });
    }
  }
  files_.clear();
  if (loaded()) {
    as(kemu::Kernel::root_cred(), [] {
      for (qd_unit* up : qd_units) {
        if (up != nullptr) {
          mutex_enter(&up->unit_mutex);
          qdm_lock_cancel(up);
          mutex_exit(&up->unit_mutex);
        }
      }
      qdm_scsi_ioctl_release();
    });
  }
  LoadedDriverFixture::TearDown();
}

qdemu::QmxUnit& DiagFixture::add_qmx(int target, const char* model) {
  return topo_->add_qmx(kBus, target, qdemu::QmxSpec{{.model = model}});
}

void DiagFixture::start(std::string_view conf) {
  std::string globals = "allow_unload=1;\nforceload=1;\n"; // the diagnostic node at least
  globals += conf;
  load(globals);
  console();
}

std::string DiagFixture::port_name(const qd_unit* up, unsigned port, bool dialout) {
  char name[32] = {};
  EXPECT_TRUE(qd_port_node_name(up, port, dialout, name, sizeof name));
  return name;
}

void DiagFixture::locked(qd_unit* up, const std::function<void()>& fn) {
  as(kemu::Kernel::root_cred(), [&] {
    mutex_enter(&up->unit_mutex);
    fn();
    mutex_exit(&up->unit_mutex);
  });
}

kemu::StreamFile& DiagFixture::open_node(std::string_view name) {
  auto& f = *files_.emplace_back(std::make_unique<kemu::StreamFile>());
  int r = -1;
  as(kemu::Kernel::root_cred(),
     [&] { r = kemu::open_device(name, loaded_test::kOpenFlags, nullptr, f); });
  EXPECT_EQ(r, 0) << "open of " << name;
  return f;
}

kemu::StreamFile& DiagFixture::diag() {
  if (diag_ == nullptr || !diag_->is_open()) {
    diag_ = &open_node("qmxdiag");
  }
  return *diag_;
}

void DiagFixture::close_node(kemu::StreamFile& f) {
  as(kemu::Kernel::root_cred(), [&] { EXPECT_EQ(f.close(), 0); });
}

kemu::IoResult DiagFixture::istr(kemu::StreamFile& f, std::uint32_t cmd, void* rec, int len,
                                 int timeout, const cred_t& cred) {
  kemu::IoResult r;
  as(cred, [&] {
    strioctl sio{qd_ioc(cmd), timeout, len, static_cast<char*>(rec)};
    r = f.ioctl(I_STR, &sio);
  });
  return r;
}

kemu::IoResult DiagFixture::plain(kemu::StreamFile& f, std::uint32_t cmd, std::intptr_t arg,
                                  const cred_t& cred) {
  kemu::IoResult r;
  as(cred, [&] { r = f.ioctl(qd_ioc(cmd), arg); });
  return r;
}

void DiagFixture::as(const cred_t& cred, const std::function<void()>& fn) {
  if (kernel_.context_kind() != kemu::ContextKind::kNone) {
    kemu::UserMemoryScope scope(umem_);
    fn();
    return;
  }
  EXPECT_TRUE(kernel_.call(
      [&] {
        kemu::UserMemoryScope scope(umem_);
        fn();
      },
      kemu::Wait::kJump, cred));
}

} // namespace diag_test
