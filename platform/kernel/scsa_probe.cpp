// Probing a target with INQUIRY, and the adapter capabilities a target driver may set.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <strings.h>

#include "ksys/kmem.h"
#include "scsa_impl.h"

using namespace kemu::scsa_detail;
using Core = kemu::Scsa::Core;

namespace {

// How long the probe's INQUIRY may take.
constexpr int kProbeSeconds = 2;
// sd_inq has one zero byte past the inquiry data, so that its texts, which carry no NUL
// of their own, always end inside the block.
constexpr std::size_t kInqBlock = sizeof(scsi_inquiry) + 1;

int probe_result(scsi_pkt* pkt, int tran) {
  if (tran != TRAN_ACCEPT) {
    return tran == TRAN_BUSY ? SCSIPROBE_BUSY : SCSIPROBE_FAILURE;
  }
  const uchar_t status = pkt->pkt_scbp[0] & STATUS_MASK;
  if (pkt->pkt_reason == CMD_CMPLT) {
    if (status == STATUS_GOOD) {
      return SCSIPROBE_EXISTS;
    }
    return status == STATUS_BUSY ? SCSIPROBE_BUSY : SCSIPROBE_NONCCS;
  }
  if (pkt->pkt_reason == CMD_INCOMPLETE && (pkt->pkt_state & STATE_SENT_CMD) == 0) {
    return SCSIPROBE_NORESP;
  }
  return SCSIPROBE_FAILURE;
}

kemu::Hba::Impl* hba_of(const scsi_address* ap) {
  Core* core = live_core();
  if (core == nullptr || ap == nullptr) {
    return nullptr;
  }
  std::lock_guard lk(core->mu);
  return core->hba_of(ap->a_hba_tran);
}

bool is_arq(const char* cap) {
  return cap != nullptr && strcasecmp(cap, "auto-rqsense") == 0;
}

} // namespace

int scsi_probe(scsi_device* devp, scsi_callback_t waitfunc) {
  Core* core = live_core();
  if (devp == nullptr || core == nullptr || hba_of(&devp->sd_address) == nullptr) {
    return SCSIPROBE_FAILURE;
  }
  const int kmflag = waitfunc == SLEEP_FUNC ? KM_SLEEP : KM_NOSLEEP;
  scsi_pkt* pkt = make_packet(*core, &devp->sd_address, CDB_GROUP0, 1, 0, kmflag);
  if (pkt == nullptr) {
    return SCSIPROBE_NOMEM;
  }
  if (!add_iopb(pkt, sizeof(scsi_inquiry), true, kmflag)) {
    release_packet(pkt, "scsi_probe");
    return SCSIPROBE_NOMEM;
  }
  uchar_t* cdb = pkt->pkt_cdbp;
  cdb[0] = SCMD_INQUIRY;
  cdb[1] = static_cast<uchar_t>(devp->sd_address.a_lun << 5);
  cdb[4] = static_cast<uchar_t>(sizeof(scsi_inquiry));
  pkt->pkt_flags = FLAG_NOINTR;
  pkt->pkt_time = kProbeSeconds;

  const int tran = start(pkt, true);
  if (tran == TRAN_ACCEPT) {
    wait_polled(pkt);
  }
  const int result = probe_result(pkt, tran);
  if (result == SCSIPROBE_EXISTS) {
    if (devp->sd_inq == nullptr) {
      devp->sd_inq = static_cast<scsi_inquiry*>(kmem_zalloc(kInqBlock, KM_SLEEP));
    }
    std::memset(devp->sd_inq, 0, kInqBlock);
    const std::size_t got = sizeof(scsi_inquiry) - static_cast<std::size_t>(pkt->pkt_resid);
    std::memcpy(devp->sd_inq, hdr(pkt)->iopb, got);
  } else {
    scsi_unprobe(devp);
  }
  release_packet(pkt, "scsi_probe");
  return result;
}

void scsi_unprobe(scsi_device* devp) {
  if (devp != nullptr && devp->sd_inq != nullptr) {
    kmem_free(devp->sd_inq, kInqBlock);
    devp->sd_inq = nullptr;
  }
}

int scsi_ifsetcap(scsi_address* ap, const char* cap, int value, int whom) {
  kemu::Hba::Impl* h = hba_of(ap);
  if (h == nullptr || !is_arq(cap)) {
    return -1;
  }
  std::lock_guard lk(h->core->mu);
  switch (h->arq_support) {
  case kemu::ArqSupport::kUnknown:
    return -1;
  case kemu::ArqSupport::kNotSettable:
    return 0;
  case kemu::ArqSupport::kSettable:
    break;
  }
  if (whom != 0) {
    if (ap->a_target >= kemu::kScsiTargets) {
      return -1;
    }
    h->arq[ap->a_target] = value != 0;
  } else {
    std::fill(std::begin(h->arq), std::end(h->arq), value != 0);
  }
  return 1;
}

int scsi_ifgetcap(scsi_address* ap, const char* cap, int /*whom*/) {
  kemu::Hba::Impl* h = hba_of(ap);
  if (h == nullptr || !is_arq(cap)) {
    return -1;
  }
  std::lock_guard lk(h->core->mu);
  if (h->arq_support == kemu::ArqSupport::kUnknown) {
    return -1;
  }
  return ap->a_target < kemu::kScsiTargets && h->arq[ap->a_target] ? 1 : 0;
}
