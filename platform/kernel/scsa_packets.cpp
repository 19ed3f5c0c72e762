// SCSI packets and buffer headers: making, binding, releasing, and the six-byte CDBs.
#include <algorithm>
#include <cstring>

#include "ksys/kmem.h"
#include "scsa_impl.h"

using namespace kemu::scsa_detail;
using Core = kemu::Scsa::Core;

namespace {

constexpr std::size_t align_up(std::size_t n) {
  constexpr std::size_t a = alignof(std::max_align_t);
  return (n + a - 1) / a * a;
}

void report(const std::string& what) {
  if (kemu::Kernel::exists()) {
    kemu::Kernel::current().report(what);
  }
}

int kmflag_for(scsi_callback_t callback) {
  return callback == SLEEP_FUNC ? KM_SLEEP : KM_NOSLEEP;
}

// A packet of the live layer, or null with a report.
PktHdr* known(scsi_pkt* pkt, const char* caller) {
  Core* core = live_core();
  if (pkt == nullptr || core == nullptr) {
    report(std::string(caller) + " of " +
           (pkt == nullptr ? "a null packet" : "a packet with no SCSI layer"));
    return nullptr;
  }
  std::lock_guard lk(core->mu);
  if (!core->packets.contains(pkt)) {
    report(std::string(caller) + " of a packet the SCSI layer did not make (or freed already)");
    return nullptr;
  }
  return hdr(pkt);
}

} // namespace

namespace kemu::scsa_detail {

scsi_pkt* make_packet(Core& core, const scsi_address* ap, int cdblen, int statuslen, int privatelen,
                      int kmflag) {
  if (ap == nullptr || cdblen < 1 || cdblen > CDB_SIZE_MAX || privatelen < 0) {
    return nullptr;
  }
  statuslen = std::max(statuslen, 1);
  // One block: the packet, the adapter's part, then the CDB (room for at least a six-byte
  // one, which makecom writes whole), status and private areas.
  const std::size_t at_hdr = align_up(sizeof(scsi_pkt));
  const std::size_t at_cdb = at_hdr + align_up(sizeof(PktHdr));
  const std::size_t at_scb =
      at_cdb + align_up(static_cast<std::size_t>(std::max(cdblen, CDB_GROUP0)));
  const std::size_t at_priv = at_scb + align_up(static_cast<std::size_t>(statuslen));
  const std::size_t size = at_priv + static_cast<std::size_t>(privatelen);
  auto* block = static_cast<char*>(kmem_zalloc(size, kmflag));
  if (block == nullptr) {
    return nullptr;
  }
  auto* pkt = reinterpret_cast<scsi_pkt*>(block);
  auto* h = reinterpret_cast<PktHdr*>(block + at_hdr);
  h->magic = kPktMagic;
  h->alloc_size = size;
  h->cdblen = cdblen;
  h->statuslen = statuslen;
  mutex_init(&h->poll_mu, "scsa_poll", MUTEX_DRIVER, nullptr);
  cv_init(&h->poll_cv, "scsa_poll", CV_DRIVER, nullptr);
  pkt->pkt_ha_private = h;
  pkt->pkt_address = *ap;
  pkt->pkt_cdbp = reinterpret_cast<uchar_t*>(block + at_cdb);
  pkt->pkt_scbp = reinterpret_cast<uchar_t*>(block + at_scb);
  pkt->pkt_private = privatelen > 0 ? block + at_priv : nullptr;
  std::lock_guard lk(core.mu);
  core.packets.insert(pkt);
  return pkt;
}

bool add_iopb(scsi_pkt* pkt, std::size_t len, bool read, int kmflag) {
  PktHdr* h = hdr(pkt);
  if (len == 0) {
    return true;
  }
  auto* data = static_cast<caddr_t>(kmem_zalloc(len, kmflag));
  if (data == nullptr) {
    return false;
  }
  h->iopb = data;
  h->iopb_len = len;
  h->iopb_buf.b_flags = B_BUSY | (read ? B_READ : B_WRITE);
  h->iopb_buf.b_bcount = len;
  h->iopb_buf.b_un.b_addr = data;
  h->iopb_buf.b_bufsize = len;
  h->bp = &h->iopb_buf;
  return true;
}

void release_packet(scsi_pkt* pkt, const char* caller) {
  Core* core = live_core();
  if (known(pkt, caller) == nullptr) {
    return;
  }
  {
    std::lock_guard lk(core->mu);
    if (core->inflight.contains(pkt)) {
      report(std::string(caller) + " of a packet still in transport; the command is given up");
      abandon_locked(*core, pkt);
    }
    core->packets.erase(pkt);
  }
  PktHdr* h = hdr(pkt);
  if (h->iopb != nullptr) {
    kmem_free(h->iopb, h->iopb_len);
  }
  h->magic = 0;
  kmem_free(pkt, h->alloc_size);
}

} // namespace kemu::scsa_detail

// ---- What drivers call ------------------------------------------------------------------------

scsi_pkt* scsi_init_pkt(scsi_address* ap, scsi_pkt* pkt, buf* bp, int cmdlen, int statuslen,
                        int privatelen, int /*flags*/, scsi_callback_t callback, caddr_t /*arg*/) {
  if (pkt == nullptr) {
    Core* core = live_core();
    if (core == nullptr) {
      return nullptr;
    }
    if (callback != SLEEP_FUNC) {
      std::lock_guard lk(core->mu);
      if (countdown(core->fail_init_pkt)) {
        return nullptr;
      }
    }
    pkt = make_packet(*core, ap, cmdlen, statuslen, privatelen, kmflag_for(callback));
    if (pkt == nullptr) {
      return nullptr;
    }
  } else if (known(pkt, "scsi_init_pkt") == nullptr) {
    return nullptr;
  }
  if (bp != nullptr) {
    hdr(pkt)->bp = bp;
  }
  return pkt;
}

void scsi_destroy_pkt(scsi_pkt* pkt) {
  release_packet(pkt, "scsi_destroy_pkt");
}

void scsi_resfree(scsi_pkt* pkt) {
  release_packet(pkt, "scsi_resfree");
}

scsi_pkt* get_pktiopb(scsi_address* ap, caddr_t* datap, int cdblen, int statuslen, int datalen,
                      int readflag, scsi_callback_t callback) {
  Core* core = live_core();
  if (core == nullptr || datap == nullptr || datalen < 0) {
    return nullptr;
  }
  if (callback != SLEEP_FUNC) {
    std::lock_guard lk(core->mu);
    if (countdown(core->fail_pktiopb)) {
      return nullptr;
    }
  }
  const int kmflag = kmflag_for(callback);
  scsi_pkt* pkt = make_packet(*core, ap, cdblen, statuslen, 0, kmflag);
  if (pkt == nullptr) {
    return nullptr;
  }
  if (!add_iopb(pkt, static_cast<std::size_t>(datalen), readflag != 0, kmflag)) {
    release_packet(pkt, "get_pktiopb");
    return nullptr;
  }
  *datap = hdr(pkt)->iopb;
  return pkt;
}

void free_pktiopb(scsi_pkt* pkt, caddr_t datap, int datalen) {
  if (PktHdr* h = known(pkt, "free_pktiopb")) {
    if (h->iopb != datap || h->iopb_len != static_cast<std::size_t>(std::max(datalen, 0))) {
      report("free_pktiopb with a data area or length that is not the packet's");
    }
    release_packet(pkt, "free_pktiopb");
  }
}

void scsi_sync_pkt(scsi_pkt* pkt) {
  known(pkt, "scsi_sync_pkt");
}

void makecom_g0(scsi_pkt* pkt, scsi_device* devp, int flag, int cmd, int addr, int cnt) {
  pkt->pkt_address = devp->sd_address;
  pkt->pkt_flags = static_cast<uint_t>(flag);
  uchar_t* cdb = pkt->pkt_cdbp;
  cdb[0] = static_cast<uchar_t>(cmd);
  cdb[1] = static_cast<uchar_t>((devp->sd_address.a_lun << 5) | ((addr >> 16) & 0x1F));
  cdb[2] = static_cast<uchar_t>(addr >> 8);
  cdb[3] = static_cast<uchar_t>(addr);
  cdb[4] = static_cast<uchar_t>(cnt);
  cdb[5] = 0;
}

void makecom_g0_s(scsi_pkt* pkt, scsi_device* devp, int flag, int cmd, int cnt, int fixbit) {
  pkt->pkt_address = devp->sd_address;
  pkt->pkt_flags = static_cast<uint_t>(flag);
  uchar_t* cdb = pkt->pkt_cdbp;
  cdb[0] = static_cast<uchar_t>(cmd);
  cdb[1] = static_cast<uchar_t>((devp->sd_address.a_lun << 5) | (fixbit & 0x1F));
  cdb[2] = static_cast<uchar_t>(cnt >> 16);
  cdb[3] = static_cast<uchar_t>(cnt >> 8);
  cdb[4] = static_cast<uchar_t>(cnt);
  cdb[5] = 0;
}

buf* getrbuf(int sleepflag) {
  if (sleepflag != KM_SLEEP) {
    if (Core* core = live_core()) {
      std::lock_guard lk(core->mu);
      if (countdown(core->fail_getrbuf)) {
        return nullptr;
      }
    }
  }
  return static_cast<buf*>(kmem_zalloc(sizeof(buf), sleepflag));
}

void freerbuf(buf* bp) {
  if (bp != nullptr) {
    kmem_free(bp, sizeof(buf));
  }
}
