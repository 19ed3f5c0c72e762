// Emulated SCSI devices driven the way a driver drives them: a kernel on virtual time, an
// adapter, a topology, and packets sent with scsi_transport (completion recorded) or
// scsi_poll, with or without auto request sense.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

#include "engine_fixture.h"
#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "ksys/scsi.h"
#include "qdemu/scsi_topology.h"

namespace qdemu::test {

// What the completion found in the packet.
struct Outcome {
  bool done = false;
  uchar_t reason = 0;
  uint_t state = 0;
  uint_t statistics = 0;
  uchar_t status = 0;
  long resid = 0;
  Bytes data;  // the bytes transferred in
  Bytes sense; // auto request sense data, when delivered
  clock_t at = 0;

  int key() const { return sense.size() > 2 ? sense[2] & SENSE_KEY_MASK : -1; }
  bool ili() const { return sense.size() > 2 && (sense[2] & SENSE_ILI) != 0; }
  bool good() const { return done && reason == CMD_CMPLT && status == STATUS_GOOD; }
};

// CDBs as the driver and the tools build them.
inline Bytes cdb_inquiry(std::uint8_t alloc) {
  return {SCMD_INQUIRY, 0, 0, 0, alloc, 0};
}
inline Bytes cdb_tur() {
  return {SCMD_TEST_UNIT_READY, 0, 0, 0, 0, 0};
}
inline Bytes cdb_self_test() {
  return {SCMD_SDIAG, 0x04, 0, 0, 0, 0};
}
inline Bytes cdb_sense(std::uint8_t alloc = 233) {
  return {SCMD_REQUEST_SENSE, 0, 0, 0, alloc, 0};
}
inline Bytes cdb6(std::uint8_t op, std::size_t count, std::uint8_t control = 0) {
  return {op,
          0,
          static_cast<std::uint8_t>(count >> 16),
          static_cast<std::uint8_t>(count >> 8),
          static_cast<std::uint8_t>(count),
          control};
}
inline Bytes cdb24(std::uint8_t op, std::uint8_t mode, std::uint8_t id, std::uint32_t a,
                   std::uint32_t b) {
  return {op,
          mode,
          id,
          static_cast<std::uint8_t>(a >> 16),
          static_cast<std::uint8_t>(a >> 8),
          static_cast<std::uint8_t>(a),
          static_cast<std::uint8_t>(b >> 16),
          static_cast<std::uint8_t>(b >> 8),
          static_cast<std::uint8_t>(b),
          0x80};
}
// WRITE BUFFER mode 5: step id; a = mask << 16 (select) or offset (data); b = size / length.
inline Bytes cdb_write_buffer(std::uint8_t id, std::uint32_t a = 0, std::uint32_t b = 0) {
  return cdb24(SCMD_WRITE_BUFFER, 5, id, a, b);
}
inline Bytes cdb_read_buffer(std::uint8_t id, std::uint32_t alloc) {
  return cdb24(SCMD_READ_BUFFER, 1, id, 0, alloc);
}

// A WRITE's data as the transport sends it: commands, PKT_END, a fill byte to even length.
inline Bytes batch_of(const std::vector<Bytes>& cmds) {
  Bytes b;
  for (const Bytes& c : cmds)
    b.insert(b.end(), c.begin(), c.end());
  b.push_back(PKT_END);
  if (b.size() % 2 != 0)
    b.push_back(kFill);
  return b;
}

class ScsiUnitTest : public ::testing::Test {
protected:
  static constexpr int kTarget = 2;
  static constexpr std::size_t kReadLen = 4096;

  ScsiUnitTest() = default;
  explicit ScsiUnitTest(const kemu::KernelOptions& o) : k(o) {}

  struct Cmd {
    Bytes buffer;
    buf b{};
    scsi_pkt* pkt = nullptr;
    int statuslen = 1;
    Outcome out;
    // Set after out is filled in: a real-clock test waits on it from its own thread.
    std::atomic<bool> completed{false};
  };

  void TearDown() override {
    EXPECT_TRUE(k.call([&] {
      for (Cmd& c : cmds_)
        scsi_destroy_pkt(c.pkt);
    }));
    cmds_.clear();
    EXPECT_EQ(scsa.in_transport(), 0u);
    k.shutdown();
    for (const auto& r : k.take_reports())
      ADD_FAILURE() << "kernel report: " << r.what;
  }

  QmxUnit& add_unit(QmxSpec spec, int target = kTarget) {
    return topo.add_qmx(0, target, std::move(spec));
  }

  // Auto request sense on, and a status area that holds it, from now on.
  void use_arq(int target = kTarget) {
    int rc = 0;
    EXPECT_TRUE(
        k.call([&] { rc = scsi_ifsetcap(&dev(target)->sd_address, "auto-rqsense", 1, 1); }));
    EXPECT_EQ(rc, 1);
    statuslen_ = static_cast<int>(sizeof(scsi_arq_status));
  }

  // Starts a command with scsi_transport; `out` is the data sent, `in` the bytes to read.
  Cmd& start(const Bytes& cdb, const Bytes& out = {}, std::size_t in = 0, int target = kTarget) {
    Cmd& c = cmds_.emplace_back();
    c.statuslen = statuslen_;
    int rc = -9;
    EXPECT_TRUE(k.call([&] {
      buf* bp = nullptr;
      if (!out.empty() || in > 0) {
        c.buffer = out.empty() ? Bytes(in, 0xEE) : out;
        c.b.b_flags = B_BUSY | (out.empty() ? B_READ : B_WRITE);
        c.b.b_bcount = c.buffer.size();
        c.b.b_bufsize = c.buffer.size();
        c.b.b_un.b_addr = reinterpret_cast<caddr_t>(c.buffer.data());
        bp = &c.b;
      }
      c.pkt = scsi_init_pkt(&dev(target)->sd_address, nullptr, bp, static_cast<int>(cdb.size()),
                            c.statuslen, sizeof(Cmd*), 0, NULL_FUNC, nullptr);
      ASSERT_NE(c.pkt, nullptr);
      std::copy(cdb.begin(), cdb.end(), c.pkt->pkt_cdbp);
      *static_cast<Cmd**>(c.pkt->pkt_private) = &c;
      c.pkt->pkt_comp = completed;
      c.pkt->pkt_time = pkt_time_;
      rc = scsi_transport(c.pkt);
    }));
    EXPECT_EQ(rc, TRAN_ACCEPT);
    return c;
  }

  // Starts a command and runs the kernel (time jumping) until it completes.
  Outcome run(const Bytes& cdb, const Bytes& out = {}, std::size_t in = 0, int target = kTarget) {
    Cmd& c = start(cdb, out, in, target);
    EXPECT_TRUE(k.run_until([&] { return c.out.done; }, 60 * hz));
    return c.out;
  }

  Outcome write(const std::vector<Bytes>& cmds) {
    return run(cdb6(SCMD_WRITE, batch_of(cmds).size()), batch_of(cmds));
  }
  Outcome read(std::uint8_t control = 0) {
    return run(cdb6(SCMD_READ, kReadLen, control), {}, kReadLen);
  }
  // The answers of a READ's batch, which must end in PKT_END.
  static std::vector<Bytes> answers_of(const Outcome& o) {
    EXPECT_TRUE(!o.data.empty() && o.data.back() == PKT_END);
    if (o.data.empty())
      return {};
    return split_answers(Bytes(o.data.begin(), o.data.end() - 1));
  }

  // A unit that has given its power-on unit attention.
  void wake(int target = kTarget) {
    run(cdb_tur(), {}, 0, target);
    EXPECT_TRUE(run(cdb_tur(), {}, 0, target).good());
  }

  // The sense of the last check condition, as a tool fetches it.
  int sense_key(int target = kTarget) {
    const Outcome o = run(cdb_sense(), {}, 233, target);
    return o.data.size() > 2 ? o.data[2] & SENSE_KEY_MASK : -1;
  }

  scsi_device* dev(int target = kTarget) { return scsa.adapter(0).device(target, 0); }

  kemu::Kernel k;
  kemu::Scsa scsa;
  ScsiTopology topo{k, scsa};
  int pkt_time_ = 0;

private:
  static void completed(scsi_pkt* pkt) {
    Cmd& c = **static_cast<Cmd**>(pkt->pkt_private);
    Outcome& o = c.out;
    o.reason = pkt->pkt_reason;
    o.state = pkt->pkt_state;
    o.statistics = pkt->pkt_statistics;
    o.status = pkt->pkt_scbp[0];
    o.resid = pkt->pkt_resid;
    o.at = kemu::Kernel::current().lbolt();
    if ((c.b.b_flags & B_READ) != 0)
      o.data.assign(c.buffer.begin(), c.buffer.end() - pkt->pkt_resid);
    if ((pkt->pkt_state & STATE_ARQ_DONE) != 0) {
      const auto* arq = reinterpret_cast<const scsi_arq_status*>(pkt->pkt_scbp);
      const auto* s = reinterpret_cast<const std::uint8_t*>(&arq->sts_sensedata);
      o.sense.assign(s, s + sizeof arq->sts_sensedata);
    }
    o.done = true;
    c.completed.store(true, std::memory_order_release);
  }

  std::deque<Cmd> cmds_;
  int statuslen_ = 1;
};

} // namespace qdemu::test
