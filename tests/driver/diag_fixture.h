// Fixture for the diagnostic-node and unit-node requests: the driver loaded onto emulated
// units (the loaded-driver fixture), its nodes opened by name, and requests sent through
// the stream heads as the tools send them: I_STR with a record, or a plain ioctl with a
// value (transparent). The caller's memory serves 32-bit buffer handles as well.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kemu/usermem.h"
#include "loaded_driver_fixture.h"
#include "qdio.h"

namespace diag_test {

// User memory with 32-bit buffer handles, as a program's side serves records that carry a
// 32-bit address; every other address is this process's own.
class HandleMemory : public kemu::UserMemory {
public:
  // Makes buf reachable at the returned handle.
  std::uint32_t map(std::span<std::uint8_t> buf);
  int copyin(std::uintptr_t uaddr, void* dst, std::size_t n) override;
  int copyout(const void* src, std::uintptr_t uaddr, std::size_t n) override;

private:
  std::uint8_t* find(std::uintptr_t uaddr, std::size_t n);
  std::map<std::uint32_t, std::span<std::uint8_t>> bufs_;
  std::uint32_t next_ = 0x1000;
};

inline cred_t user_cred() {
  return cred_t{1000, 1000, 1000, 1000};
}

class DiagFixture : public loaded_test::LoadedDriverFixture {
protected:
  static constexpr int kBus = 0; // the adapter of every unit here

  // Closes what the test left open; stops lock checks and waits for a direct SCSI command
  // before the unload.
  void TearDown() override;

  // ---- Units: added before start() ----------------------------------------------------
  qdemu::QmxUnit& add_qmx(int target, const char* model = "QMX-8S1P-115A");
  // Loads and attaches the driver; conf adds entries to qd.conf (Lanvara units).
  void start(std::string_view conf = "");
  static qd_unit* unit(int target) { return scsi_unit(kBus, target); }
  static std::string port_name(const qd_unit* up, unsigned port, bool dialout = false);
  // Runs fn in the kernel with the unit's "unit_mutex" held.
  void locked(qd_unit* up, const std::function<void()>& fn);

  // ---- Streams ------------------------------------------------------------------------
  // Opens the node by name (the test fails when it cannot); closed at the end if still open.
  kemu::StreamFile& open_node(std::string_view name);
  kemu::StreamFile& diag();
  void close_node(kemu::StreamFile& f);

  // ---- Requests: run in the kernel, or inline when already in a context -----------------
  // I_STR with the record (its length len); the reply's data lands in rec. A time-out of
  // -1 waits without limit.
  kemu::IoResult istr(kemu::StreamFile& f, std::uint32_t cmd, void* rec, int len, int timeout = -1,
                      const cred_t& cred = kemu::Kernel::root_cred());
  template <class T>
  kemu::IoResult istr(kemu::StreamFile& f, std::uint32_t cmd, T& rec, int timeout = -1,
                      const cred_t& cred = kemu::Kernel::root_cred()) {
    return istr(f, cmd, &rec, static_cast<int>(sizeof rec), timeout, cred);
  }
  // A plain ioctl with a value or an address, which reaches the driver transparent.
  kemu::IoResult plain(kemu::StreamFile& f, std::uint32_t cmd, std::intptr_t arg,
                       const cred_t& cred = kemu::Kernel::root_cred());
  // Runs fn as a user context with the credentials and the handle memory, or inline
  // inside a context.
  void as(const cred_t& cred, const std::function<void()>& fn);

  HandleMemory umem_;

private:
  std::vector<std::unique_ptr<kemu::StreamFile>> files_;
  kemu::StreamFile* diag_ = nullptr;
};

} // namespace diag_test
