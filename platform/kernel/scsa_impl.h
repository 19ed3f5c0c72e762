// Internals of the SCSI layer shared by its source files. Everything mutable here is
// guarded by Scsa::Core::mu, which is never held while a target, a driver completion or a
// blocking kernel call runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "kernel_pools.h"
#include "ksys/mutex.h"
#include "ksys/scsi.h"

namespace kemu::scsa_detail {

inline constexpr std::uint32_t kPktMagic = 0x5C5A9C7Bu;

// The adapter's part of a packet, in the same kmem block, reached by pkt_ha_private.
struct PktHdr {
  std::uint32_t magic;
  std::size_t alloc_size; // of the whole block
  int cdblen;
  int statuslen;
  buf* bp;      // bound data, or null
  caddr_t iopb; // get_pktiopb's data area (its own block), or null
  std::size_t iopb_len;
  buf iopb_buf;     // describes iopb
  kmutex_t poll_mu; // scsi_poll waits on poll_cv for poll_done
  kcondvar_t poll_cv;
  int poll_done;
  int in_transport;
};
static_assert(std::is_trivial_v<PktHdr>);

inline PktHdr* hdr(scsi_pkt* pkt) {
  return static_cast<PktHdr*>(pkt->pkt_ha_private);
}

struct Lun {
  std::shared_ptr<ScsiTarget> target;
  std::deque<ScsiFault> faults;
  std::vector<std::uint8_t> pending_sense;
  std::unique_ptr<scsi_device> device; // Hba::device()
};

using CmdPtr = std::shared_ptr<ScsiCommand>;

// Counts a fault-injection countdown: true when this call is the one that fails.
inline bool countdown(long& n) {
  return n > 0 && --n == 0;
}

} // namespace kemu::scsa_detail

struct kemu::Hba::Impl {
  Scsa::Core* core = nullptr;
  int number = 0;
  dev_info_t* dip = nullptr;
  scsi_hba_tran tran{};
  ArqSupport arq_support = ArqSupport::kSettable;
  bool arq[kScsiTargets] = {};
  std::map<std::pair<int, int>, scsa_detail::Lun> luns;
  std::size_t in_transport = 0;

  scsa_detail::Lun& lun(int target, int l) { return luns[{target, l}]; }
};

struct kemu::Scsa::Core {
  mutable std::mutex mu;
  std::weak_ptr<Core> self;
  std::vector<std::unique_ptr<Hba>> hbas;
  kemu::detail::PooledSet<scsi_pkt*> packets;
  kemu::detail::PooledMap<scsi_pkt*, scsa_detail::CmdPtr> inflight;
  long fail_init_pkt = 0;
  long fail_pktiopb = 0;
  long fail_getrbuf = 0;
  Ddi* ddi = nullptr; // the tree it registered with, if any
  std::map<dev_info_t*, std::unique_ptr<scsi_device>> children;

  // The adapter behind a transport record, or null (mu held).
  Hba::Impl* hba_of(const scsi_hba_tran* tran) const;
  Hba& new_hba(dev_info_t* dip, HbaOptions opts); // mu held
};

struct kemu::ScsiCommand::Impl {
  std::weak_ptr<Scsa::Core> core;
  Hba::Impl* hba = nullptr;
  scsi_pkt* pkt = nullptr;
  int target = 0;
  int lun = 0;
  std::vector<std::uint8_t> cdb;
  DataDir dir = DataDir::kNone;
  std::vector<std::uint8_t> data;
  caddr_t dest = nullptr; // data in: where the bytes go at completion
  clock_t issued = 0;
  bool polled = false;

  // Guarded by the core's mu.
  bool delivered = false; // reached a responder (the target, or the adapter's kept sense)
  bool answered = false;
  bool finished = false;           // completed, timed out or abandoned: the packet is free again
  std::optional<ScsiFault> effect; // a fault that acts on the answer
  ScsiAnswer answer;
  WorkId timeout_work = 0;
  WorkId done_work = 0;
  // While its work is queued, the command keeps itself alive through these.
  scsa_detail::CmdPtr timeout_ref;
  scsa_detail::CmdPtr done_ref;

  // Ready for the next command, keeping the buffers' room.
  void reset();
};

namespace kemu::scsa_detail {

// The live layer's core, or null.
Scsa::Core* live_core();

// ---- Packets (scsa_packets.cpp)
// A zeroed packet with its areas in place, registered with the core. Null when memory is
// short (KM_NOSLEEP) or the arguments make no packet.
scsi_pkt* make_packet(Scsa::Core& core, const scsi_address* ap, int cdblen, int statuslen,
                      int privatelen, int kmflag);
// Gives a packet a data area of its own. False when memory is short.
bool add_iopb(scsi_pkt* pkt, std::size_t len, bool read, int kmflag);
void release_packet(scsi_pkt* pkt, const char* caller);

// ---- Commands (scsa_command.cpp)
// A command record for scsi_transport: a recycled one when there is one, so the start path
// stops calling the heap once it has run a while.
CmdPtr new_command();

// ---- Running commands (scsa_transport.cpp)
// scsi_transport, for the driver (polled false) or scsi_poll.
int start(scsi_pkt* pkt, bool polled);
// Blocks until a polled packet that start() accepted has completed.
void wait_polled(scsi_pkt* pkt);
// Answers a command (mu held): applies the fault that acts on answers and queues the
// completion, or leaves it to the time-out when it never comes.
void answer_locked(Scsa::Core& core, const CmdPtr& cmd, ScsiAnswer a);
// Gives a command up without completing it (mu held): the packet is destroyed.
void abandon_locked(Scsa::Core& core, scsi_pkt* pkt);

} // namespace kemu::scsa_detail
