#include "emulated_bus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "ksys/scsi.h"
#include "qdio.h"

namespace kvscsi::test {
namespace {

struct Pending {
  bool done = false;
  uchar_t status = 0;
  uchar_t reason = 0;
};

void completed(scsi_pkt* pkt) {
  auto* p = *static_cast<Pending**>(pkt->pkt_private);
  p->done = true;
  p->status = pkt->pkt_scbp[0];
  p->reason = pkt->pkt_reason;
}

} // namespace

EmulatedBus::EmulatedBus() = default;

EmulatedBus::~EmulatedBus() {
  kernel_.shutdown();
}

qdemu::QmxUnit& EmulatedBus::add_qmx(int bus, int target, qdemu::QmxUnitConfig config) {
  return topo_.add_qmx(bus, target, qdemu::QmxSpec{std::move(config)});
}

void EmulatedBus::add_disk(int bus, int target) {
  topo_.add_device(bus, target, {});
}

void EmulatedBus::pass(unsigned seconds) {
  kernel_.advance(static_cast<clock_t>(seconds) * hz);
}

int EmulatedBus::request(std::uint32_t cmd, void* record, int len) {
  if (cmd == QMXSCSI && len == static_cast<int>(sizeof(qd_scsi_cmd))) {
    return scsi(record);
  }
  if ((cmd == QMXLOCK || cmd == QMXUNLOCK) && len == static_cast<int>(sizeof(int))) {
    int arg = 0;
    std::memcpy(&arg, record, sizeof arg);
    locks.emplace_back(cmd == QMXLOCK, arg);
    return 0;
  }
  errno = ENXIO;
  return -1;
}

// As the driver serves the request: a packet of its own to the device, the transport's
// answer, status and reason in the record, the data read copied back on success.
int EmulatedBus::scsi(void* record) {
  auto& sb = *static_cast<qd_scsi_cmd*>(record);
  if (sb.lun != 0 || sb.bus > 15 || sb.target > 15 || sb.cdb_len > QD_SCSI_CDB_MAX ||
      sb.data_len > QD_SCSI_DATA_MAX) {
    errno = EINVAL;
    return -1;
  }
  if (topo_.find_qmx(sb.bus, sb.target) == nullptr &&
      topo_.find_device(sb.bus, sb.target) == nullptr) {
    errno = ENODEV;
    return -1;
  }
  ++commands;
  std::vector<std::uint8_t> data(sb.data, sb.data + sb.data_len);
  const bool in = (sb.flags & QD_SCSI_DATA_IN) != 0;
  const bool with_data = (sb.flags & (QD_SCSI_DATA_IN | QD_SCSI_DATA_OUT)) != 0 && !data.empty();
  Pending pending;
  buf b{};
  scsi_pkt* pkt = nullptr;
  int rc = TRAN_FATAL_ERROR;
  kernel_.call([&] {
    if (with_data) {
      b.b_flags = B_BUSY | (in ? B_READ : B_WRITE);
      b.b_bcount = b.b_bufsize = data.size();
      b.b_un.b_addr = reinterpret_cast<caddr_t>(data.data());
    }
    scsi_device* dev = scsa_.adapter(sb.bus).device(sb.target, 0);
    pkt = scsi_init_pkt(&dev->sd_address, nullptr, with_data ? &b : nullptr, sb.cdb_len, 1,
                        sizeof(Pending*), 0, NULL_FUNC, nullptr);
    if (pkt == nullptr) {
      return;
    }
    std::copy_n(sb.cdb, sb.cdb_len, pkt->pkt_cdbp);
    *static_cast<Pending**>(pkt->pkt_private) = &pending;
    pkt->pkt_comp = completed;
    pkt->pkt_time = sb.timeout;
    rc = scsi_transport(pkt);
  });
  sb.tran_stat = static_cast<std::uint8_t>(rc);
  sb.scsi_stat = 0;
  sb.reason = 0;
  if (rc == TRAN_ACCEPT) {
    kernel_.run_until([&] { return pending.done; }, 600L * hz);
    sb.scsi_stat = pending.status;
    sb.reason = pending.reason;
    if (in && pending.status == 0 && pending.reason == 0) {
      std::copy(data.begin(), data.end(), sb.data);
    }
  }
  if (pkt != nullptr) {
    kernel_.call([&] { scsi_destroy_pkt(pkt); });
  }
  return 0;
}

} // namespace kvscsi::test
