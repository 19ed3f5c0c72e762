// A kernel on virtual time with one emulated adapter, a toy target, and a journal of the
// completions the SCSI layer delivers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "ksys/kmem.h"
#include "ksys/scsi.h"

namespace scsa_test {

using kemu::DataDir;
using kemu::ScsiAnswer;
using kemu::ScsiCommand;
using kemu::ScsiFault;

// Answers through `respond`; when that gives nothing, keeps the command in `held`.
class ToyTarget : public kemu::ScsiTarget {
public:
  std::function<std::optional<ScsiAnswer>(ScsiCommand&)> respond = [](ScsiCommand&) {
    return std::optional<ScsiAnswer>(ScsiAnswer::good());
  };
  std::vector<std::shared_ptr<ScsiCommand>> held;
  std::vector<std::vector<std::uint8_t>> cdbs;
  std::vector<std::vector<std::uint8_t>> written;

  void command(std::shared_ptr<ScsiCommand> cmd) override {
    cdbs.emplace_back(cmd->cdb().begin(), cmd->cdb().end());
    if (cmd->dir() == DataDir::kOut) {
      written.emplace_back(cmd->data_out().begin(), cmd->data_out().end());
    }
    if (auto a = respond(*cmd)) {
      cmd->complete(std::move(*a));
    } else {
      held.push_back(std::move(cmd));
    }
  }
};

// What a completion found in the packet.
struct Seen {
  uchar_t reason;
  uint_t state;
  uint_t statistics;
  long resid;
  uchar_t status;
  bool interrupt_level;
  clock_t at;
  std::vector<std::uint8_t> scb; // the whole status area
};

inline std::vector<Seen> g_seen;

inline void record_completion(scsi_pkt* pkt) {
  scsi_sync_pkt(pkt);
  const int scblen = pkt->pkt_private != nullptr ? *static_cast<int*>(pkt->pkt_private) : 1;
  g_seen.push_back(
      Seen{pkt->pkt_reason, pkt->pkt_state, pkt->pkt_statistics, pkt->pkt_resid, pkt->pkt_scbp[0],
           kemu::Kernel::current().context_kind() == kemu::ContextKind::kInterrupt, ddi_get_lbolt(),
           std::vector<std::uint8_t>(pkt->pkt_scbp, pkt->pkt_scbp + scblen)});
}

class ScsaTest : public ::testing::Test {
protected:
  static constexpr int kTarget = 3;

  void SetUp() override {
    g_seen.clear();
    hba.plug(kTarget, 0, toy);
  }

  // Everything released, nothing queued, nothing reported.
  void TearDown() override {
    EXPECT_EQ(scsa.in_transport(), 0u);
    EXPECT_EQ(scsa.packets(), 0u);
    k.shutdown();
    for (const auto& r : k.take_reports()) {
      ADD_FAILURE() << "kernel report: " << r.what;
    }
  }

  scsi_device* dev(int target = kTarget) { return hba.device(target, 0); }

  // A packet whose private area holds its status length, for record_completion.
  scsi_pkt* packet(buf* bp, int statuslen = 1, int target = kTarget) {
    scsi_pkt* p = scsi_init_pkt(&dev(target)->sd_address, nullptr, bp, CDB_GROUP0, statuslen,
                                sizeof(int), 0, NULL_FUNC, nullptr);
    if (p != nullptr) {
      *static_cast<int*>(p->pkt_private) = statuslen;
      p->pkt_comp = record_completion;
      p->pkt_time = 2147483647;
    }
    return p;
  }

  // Transports in a kernel call and returns scsi_transport's answer.
  int transport(scsi_pkt* p) {
    int rc = 99;
    EXPECT_TRUE(k.call([&] { rc = scsi_transport(p); }));
    return rc;
  }

  kemu::Kernel k;
  kemu::Scsa scsa;
  kemu::Hba& hba = scsa.add_adapter();
  std::shared_ptr<ToyTarget> toy = std::make_shared<ToyTarget>();
};

// A buffer header over a vector, as the driver builds one.
inline buf make_buf(std::vector<std::uint8_t>& bytes, int flags) {
  buf b{};
  b.b_flags = flags;
  b.b_bcount = bytes.size();
  b.b_un.b_addr = reinterpret_cast<caddr_t>(bytes.data());
  b.b_bufsize = bytes.size();
  return b;
}

} // namespace scsa_test
