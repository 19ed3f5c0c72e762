// Fixture for the diagnostic-node and unit-node requests: the driver fixture plus the SCSI
// layer with emulated QMX units on adapter 0, Lanvara unit records, and streams on the
// diagnostic node, unit nodes and ports. Requests go through the stream heads as the tools
// send them: I_STR with a record, or a plain ioctl with a value (transparent).
//
// The streams are opened through stand-in entry points that do what the driver's open,
// close and write put procedure do for these nodes (the line records of ports are made by
// the test, enabled as a successful enable leaves them).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "kemu/ddi.h"
#include "kemu/hba.h"
#include "kemu/streamhead.h"
#include "kemu/usermem.h"
#include "qdemu/scsi_topology.h"
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

class DiagFixture : public DriverFixture {
protected:
  static constexpr int kAdapter = 0;
  static constexpr minor_t kDiagMinor = 0xffff;

  void SetUp() override;
  void TearDown() override;

  // What the driver printed since the last look, without the notes that say where a trace
  // ring lives (they depend on the build's trace mode).
  static std::string console();

  // ---- Units -------------------------------------------------------------------------
  // An emulated QMX unit at the target of adapter 0, and its record as probe and attach
  // leave it (offline, attached; recorded in qd_devs).
  qd_unit* scsi_unit(int target, const char* model = "QMX-8S1P-115A");
  // The same, brought up: its transport runs.
  qd_unit* running_unit(int target, const char* model = "QMX-8S1P-115A");
  // A Lanvara unit record as the configuration leaves it: offline, not attached.
  qd_unit* lanvara_unit(int n, const char* model = "Lanvara8S1P-115");
  // The port's line record as a successful enable leaves it.
  qd_line* enabled_line(qd_unit* up, unsigned port);
  // Runs fn in the kernel with the unit's "unit_mutex" held.
  void locked(qd_unit* up, const std::function<void()>& fn);

  static minor_t port_minor(const qd_unit* up, unsigned port);
  static minor_t unit_node_minor(const qd_unit* up);

  // ---- Streams -----------------------------------------------------------------------
  kemu::StreamFile& open(minor_t minor);
  kemu::StreamFile& diag() { return open(kDiagMinor); }
  void close(kemu::StreamFile& f);

  // ---- Requests (run in the kernel, or inline when already in a context) ---------------
  // I_STR with the record (its length len); the reply's data lands in rec. A time-out of
  // -1 waits without limit.
  kemu::IoResult istr(kemu::StreamFile& f, std::uint32_t cmd, void* rec, int len, int timeout = -1,
                      const cred_t& cred = kemu::Kernel::root_cred());
  template <class T>
  kemu::IoResult istr(kemu::StreamFile& f, std::uint32_t cmd, T& rec, int timeout = -1,
                      const cred_t& cred = kemu::Kernel::root_cred()) {
    return istr(f, cmd, &rec, static_cast<int>(sizeof rec), timeout, cred);
  }
  // A plain ioctl with a value or address, which reaches the driver transparent.
  kemu::IoResult plain(kemu::StreamFile& f, std::uint32_t cmd, std::intptr_t arg,
                       const cred_t& cred = kemu::Kernel::root_cred());
  // Runs fn as a user context with the credentials, or inline inside one.
  void as(const cred_t& cred, const std::function<void()>& fn);

  std::unique_ptr<kemu::Ddi> ddi_;
  std::unique_ptr<kemu::Scsa> scsa_;
  std::unique_ptr<qdemu::ScsiTopology> topo_;
  HandleMemory umem_;

private:
  std::vector<std::unique_ptr<kemu::StreamFile>> files_;
  std::size_t blocks_at_start_ = 0;
};

} // namespace diag_test
