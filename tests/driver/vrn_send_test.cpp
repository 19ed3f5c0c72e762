// The Lanvara send path: queued packets go up the unit node as one message each.
#include "transport_fixture.h"

namespace {

using VrnSendTest = TransportFixture;

void put(qd_unit* up, int n, unsigned char fill) {
  unsigned char* p = qdm_putfas(up, n);
  ASSERT_NE(p, nullptr);
  std::fill_n(p, n, fill);
}

TEST_F(VrnSendTest, OnlyKicksSendAndEachPacketIsOneMessage) {
  qd_unit* up = lanvara_unit(5);
  const int before = free_packets();
  locked(up, [&] {
    put(up, 2040, 0x11); // fills the first 2048-byte packet but 7 bytes
    put(up, 8, 0x22);    // so this one starts a second packet
    for (int input = SFSM_IN_RESP_DONE; input < SFSM_NINPUTS; ++input) {
      qdm_scsifsm(up, input);
    }
  });
  EXPECT_TRUE(unit_node_messages(up).empty());
  ASSERT_NE(up->pkt_head, nullptr);

  locked(up, [&] { qdm_scsifsm(up, SFSM_IN_KICK); });
  const auto msgs = unit_node_messages(up);
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0], Bytes(2040, 0x11)) << "no PKT_END on a Lanvara unit";
  EXPECT_EQ(msgs[1], Bytes(8, 0x22));
  EXPECT_EQ(up->pkt_head, nullptr);
  EXPECT_EQ(up->pkt_tail, nullptr);
  EXPECT_EQ(free_packets(), before);
}

TEST_F(VrnSendTest, FailedAllocationLeavesTheRestQueued) {
  qd_unit* up = lanvara_unit(5);
  locked(up, [&] {
    put(up, 2040, 0x11);
    put(up, 8, 0x22);
  });
  kemu::fail_allocb_nth(2);
  locked(up, [&] { qdm_scsifsm(up, SFSM_IN_KICK); });
  ASSERT_EQ(unit_node_messages(up).size(), 1u);
  ASSERT_NE(up->pkt_head, nullptr);
  EXPECT_EQ(up->pkt_head, up->pkt_tail);

  locked(up, [&] {
    put(up, 8, 0x33); // joins the packet still waiting
    qdm_scsifsm(up, SFSM_IN_KICK);
  });
  const auto msgs = unit_node_messages(up);
  ASSERT_EQ(msgs.size(), 2u);
  Bytes second(8, 0x22);
  second.insert(second.end(), 8, 0x33);
  EXPECT_EQ(msgs[1], second);
  EXPECT_EQ(up->pkt_head, nullptr);
}

TEST_F(VrnSendTest, PacketsWaitWhileTheUnitNodeIsClosed) {
  qd_unit* up = lanvara_unit(5);
  queue_t* rq = up->qdu_unitnode->tty.t_readq;
  up->qdu_unitnode->tty.t_readq = nullptr;
  locked(up, [&] {
    put(up, 8, 0x44);
    qdm_scsifsm(up, SFSM_IN_KICK);
  });
  EXPECT_NE(up->pkt_head, nullptr);
  up->qdu_unitnode->tty.t_readq = rq;
  locked(up, [&] { qdm_scsifsm(up, SFSM_IN_KICK); });
  EXPECT_EQ(unit_node_messages(up), std::vector<Bytes>{Bytes(8, 0x44)});
}

} // namespace
