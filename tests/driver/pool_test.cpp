// Packet pool and the outgoing chain: growth, fills, tail room, reservations and their
// refusals, and the pool running dry.
#include <algorithm>

#include "driver_fixture.h"

namespace {

using PoolTest = DriverFixture;

bool all_bytes(const unsigned char* from, const unsigned char* to, unsigned char v) {
  return std::all_of(from, to, [v](unsigned char b) { return b == v; });
}

int free_count() {
  int n = 0;
  for (qd_pkt* p = qd_pkts.qd_pkt_free; p != nullptr; p = p->next) {
    ++n;
  }
  return n;
}

TEST_F(PoolTest, TakeFromEmptyPoolCreatesSixAndFillsBySize) {
  run([] {
    qd_pkt* small = qdm_getpkt(2048);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(qd_pkts.qd_pkt_cnt, 6);
    EXPECT_EQ(free_count(), 5);
    EXPECT_EQ(small->space_remaining, 2047);
    EXPECT_EQ(small->qd_rptr, small->data);
    EXPECT_EQ(small->qd_wptr, small->data);
    EXPECT_EQ(small->next, nullptr);
    EXPECT_TRUE(all_bytes(small->data, small->data + 2048, 0xCC));
    EXPECT_TRUE(all_bytes(small->data + 2048, small->data + 4096, 0xDD));

    // A packet given back is handed out next, refilled for its new size.
    std::fill(small->data, small->data + 4096, 0x55);
    qdm_freepkt(small);
    qd_pkt* big = qdm_getpkt(4096);
    EXPECT_EQ(big, small);
    EXPECT_EQ(big->space_remaining, 4095);
    EXPECT_TRUE(all_bytes(big->data, big->data + 4096, 0xCC));
    EXPECT_EQ(qd_pkts.qd_pkt_cnt, 6);
  });
}

TEST_F(PoolTest, SpaceLeftKeepsMoreThan23BytesInTheTail) {
  run([] {
    qd_unit* up = make_unit("QMX-8S-115A", 0, 1); // 2048-byte packets
    const HeldLock held(&up->unit_mutex);
    // Leaves exactly `free_bytes` in the first packet, then asks for room.
    for (const int free_bytes : {24, 23}) {
      SCOPED_TRACE(free_bytes);
      qdm_freechain(up);
      ASSERT_NE(qdm_putfas(up, 2047 - free_bytes), nullptr);
      qd_pkt* first = up->pkt_tail;
      ASSERT_EQ(first->space_remaining, free_bytes);
      const int room = qdm_spaceleft(up);
      if (free_bytes == 24) {
        EXPECT_EQ(room, 16);
        EXPECT_EQ(up->pkt_tail, first);
      } else {
        EXPECT_EQ(room, 2047 - 8);
        EXPECT_NE(up->pkt_tail, first);
        EXPECT_EQ(first->next, up->pkt_tail);
        EXPECT_EQ(up->pkt_head, first);
      }
    }
  });
}

TEST_F(PoolTest, ReservationStaysInTheTailOnlyWhenItFits) {
  run([] {
    qd_unit* up = make_unit("QMX-8S-115A", 0, 1);
    const HeldLock held(&up->unit_mutex);
    for (const int free_bytes : {8, 7}) {
      SCOPED_TRACE(free_bytes);
      qdm_freechain(up);
      ASSERT_NE(qdm_putfas(up, 2047 - free_bytes), nullptr);
      qd_pkt* first = up->pkt_tail;
      unsigned char* at = qdm_putfas(up, 8);
      ASSERT_NE(at, nullptr);
      if (free_bytes == 8) {
        EXPECT_EQ(up->pkt_tail, first);
        EXPECT_EQ(at, first->data + 2039);
        EXPECT_EQ(first->space_remaining, 0);
      } else {
        ASSERT_NE(up->pkt_tail, first);
        EXPECT_EQ(at, up->pkt_tail->data);
        EXPECT_EQ(first->space_remaining, 7); // the command does not straddle
        EXPECT_EQ(up->pkt_tail->space_remaining, 2039);
      }
      // The invariant of every outgoing packet.
      for (qd_pkt* p = up->pkt_head; p != nullptr; p = p->next) {
        EXPECT_EQ(p->qd_wptr - p->data + p->space_remaining, 2047);
      }
    }
  });
}

TEST_F(PoolTest, GiveBackAndRefusals) {
  run([] {
    qd_unit* up = make_unit("QMX-8S-115A", 0, 1); // 2048-byte packets: 2047 reservable
    const HeldLock held(&up->unit_mutex);
    EXPECT_EQ(qdm_putfas(up, -1), nullptr);   // no tail to give back to
    EXPECT_EQ(qdm_putfas(up, 2048), nullptr); // more than any packet holds
    EXPECT_EQ(up->pkt_head, nullptr);

    ASSERT_NE(qdm_putfas(up, 13), nullptr);
    qd_pkt* tail = up->pkt_tail;
    unsigned char* hdr = qdm_putfas(up, 8);
    ASSERT_EQ(hdr, tail->data + 13);
    std::fill(hdr, hdr + 8, 0x03);
    EXPECT_NE(qdm_putfas(up, -8), nullptr);
    EXPECT_EQ(tail->qd_wptr, hdr);
    EXPECT_EQ(tail->space_remaining, 2047 - 13);
    EXPECT_TRUE(all_bytes(hdr, hdr + 8, 0xCC)); // unwritten bytes still go out as the fill

    EXPECT_EQ(qdm_putfas(up, -14), nullptr); // more than the tail holds
    EXPECT_EQ(tail->qd_wptr, hdr);
    EXPECT_EQ(up->pkt_tail, tail);
    EXPECT_NE(qdm_putfas(up, -13), nullptr);
    EXPECT_NE(qdm_putfas(up, 2047), nullptr); // a whole packet is fine
    EXPECT_EQ(up->pkt_tail, tail);
  });
  EXPECT_NE(console().find("Assertion failed in qd"), std::string::npos);
}

TEST_F(PoolTest, PacketSizesOfGlobalAndLanvaraUnits) {
  run([] {
    // global_unit has no model row: full-sized packets.
    {
      const HeldLock held(&qd_diag_mutex); // the diagnostic line's, which global_unit serves
      EXPECT_EQ(qdm_spaceleft(&global_unit), 4095 - 8);
      qdm_freechain(&global_unit);
    }
    EXPECT_EQ(global_unit.pkt_head, nullptr);
    EXPECT_EQ(free_count(), 6);
    // A Lanvara receive packet holds 4094 bytes from the start, as after every reset.
    qd_unit* up = make_unit("Lanvara8S-115A", 0, 3);
    EXPECT_EQ(up->qdu_rcvpkt->space_remaining, QD_VRN_RCV_SPACE);
  });
}

TEST_F(PoolTest, GrowStopsAtTheFirstRefusedAllocation) {
  run([this] {
    kernel_.fail_kmem_nth(3);
    EXPECT_EQ(qdm_allocmorepkts(6), 2);
    EXPECT_EQ(qd_pkts.qd_pkt_cnt, 2);
    EXPECT_EQ(free_count(), 2);
  });
  const std::string text = console();
  const std::string warning =
      "WARNING: Orvane Lanvara/QMX: No memory available and qd_pkts exhausted!\n";
  EXPECT_NE(text.find(warning), std::string::npos) << text;
  EXPECT_EQ(text.find(warning), text.rfind(warning)) << "one warning per grow";
}

// Under the locks a SCSI completion holds, as the answer dispatch builds its commands:
// the grow takes the pool, allocator and trace mutexes inside them in the driver's order.
TEST_F(PoolTest, ExhaustedPoolBuildsNothingAndRecovers) {
  run([this] {
    qd_unit* up = make_unit("QMX-8S-115A", 0, 1);
    mutex_enter(&up->intr_mutex);
    mutex_enter(&up->unit_mutex);
    ASSERT_NE(qdm_putfas(up, 2047 - 10), nullptr); // 10 left: the next command needs a packet
    while (qd_pkts.qd_pkt_free != nullptr) {
      (void)qdm_getpkt(2048);
    }
    qd_pkt* tail = up->pkt_tail;
    console();
    kernel_.fail_kmem_after(0);
    EXPECT_EQ(qdm_spaceleft(up), 0);
    EXPECT_EQ(qdm_putfas(up, 16), nullptr);
    kernel_.clear_kmem_faults();
    EXPECT_EQ(up->pkt_tail, tail);
    EXPECT_EQ(tail->next, nullptr);
    EXPECT_EQ(tail->space_remaining, 10);
    const std::string text = console();
    EXPECT_NE(text.find("WARNING: Orvane Lanvara/QMX: can't get qd_pkt\n"), std::string::npos)
        << text;

    EXPECT_NE(qdm_putfas(up, 16), nullptr);
    EXPECT_EQ(tail->next, up->pkt_tail);
    qd_trace_unit(up, "grown\n");
    mutex_exit(&up->unit_mutex);
    mutex_exit(&up->intr_mutex);
  });
}

} // namespace
