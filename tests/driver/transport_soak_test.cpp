// Many WRITE/READ rounds between a unit record and the emulated QMX unit, with adapter
// faults injected at random (fixed seed): whatever the faults do to the unit, no packet
// is lost from the pool and nothing stays allocated.
#include <random>

#include "qdemu/scsi_topology.h"
#include "transport_fixture.h"

namespace {

class TransportSoak : public TransportFixture {
protected:
  // A unit record bound to the emulated unit at target 4, as probe and attach leave it.
  qd_unit* emulated_unit() {
    qd_unit* up = nullptr;
    run([&] {
      up = make_unit("QMX-16S-115A", 0, 4);
      up->qdu_devp = hba_->device(4, 0);
      up->qdu_devp->sd_private = reinterpret_cast<caddr_t>(up);
      up->qdu_statuslen =
          scsi_ifsetcap(&up->qdu_devp->sd_address, "auto-rqsense", 1, 1) == 1 ? 32 : 1;
      up->qdu_caps = QDU_CAP_TIMEOUT15; // firmware 2.x: commands time out after 15 s
    });
    qd_bus_cnt = 1;
    trace_rings_ready(up, nullptr);
    return up;
  }

  // One fault for the next command of a random kind, or none.
  static kemu::ScsiFault random_fault(std::mt19937& rng) {
    const int op = rng() % 2 == 0 ? SCMD_WRITE : SCMD_READ;
    switch (rng() % 12) {
    case 0:
      return kemu::ScsiFault::busy().on(op).times(1 + static_cast<int>(rng() % 3));
    case 1:
      return kemu::ScsiFault::fail(CMD_TRAN_ERR, rng() % 2 == 0).on(op);
    case 2:
      return kemu::ScsiFault::status_byte(STATUS_BUSY).on(op);
    case 3:
      return kemu::ScsiFault::parity().on(op);
    case 4:
      return kemu::ScsiFault::check(KEY_ABORTED_COMMAND).on(op); // parity in data: retried
    case 5:
      return kemu::ScsiFault::no_completion(true).on(op); // times out after 15 s
    case 6:
      return kemu::ScsiFault::latency(1 + rng() % 20).on(op);
    case 7:
      return kemu::ScsiFault::check(KEY_UNIT_ATTENTION).on(op); // power-cycled: offline
    default:
      return kemu::ScsiFault::latency(0);
    }
  }
};

TEST_F(TransportSoak, RandomFaultsLoseNoPacket) {
  qdemu::ScsiTopology topo{kernel_, *scsa_};
  topo.add_qmx(0, 4, qdemu::QmxSpec{{.model = "QMX-16S-115A", .firmware = "V2.3"}});
  start_timer();
  qd_unit* up = emulated_unit();
  for (unsigned line = 0; line < 4; ++line) {
    run([&] { make_line(up, line); });
  }

  std::mt19937 rng(20261208);
  int offline_rounds = 0;
  int answered_rounds = 0;
  for (int round = 0; round < 300; ++round) {
    if ((up->qdu_flags & QDU_OFFLINE) != 0) {
      // A fault took it offline (or it is new): taken down as its last line would take it,
      // its next bring-up restarts it.
      ++offline_rounds;
      locked(up, [&] { qdm_deinit_unit(up); });
      ASSERT_EQ(bring_up(up), 0) << "round " << round << "\n" << console();
    }
    hba_->inject(4, 0, random_fault(rng));
    const unsigned line = rng() % 4;
    const int before = up->qd_lines[line]->inputctrl_answers;
    queue_cmd(up, FAS_INPUT_CTRL, static_cast<unsigned char>(line));
    kernel_.advance(static_cast<clock_t>(rng() % 40));
    kernel_.run_until([&] {
      return up->qd_lines[line]->inputctrl_answers != before || (up->qdu_flags & QDU_OFFLINE) != 0;
    });
    answered_rounds += up->qd_lines[line]->inputctrl_answers != before;
  }
  // The faults did their work both ways.
  EXPECT_GT(offline_rounds, 1);
  EXPECT_GT(answered_rounds, 200);

  // Down again: no command outstanding, every packet but the receive packet free.
  run([&] {
    mutex_enter(&up->unit_mutex);
    qdm_deinit_unit(up);
    mutex_exit(&up->unit_mutex);
  });
  EXPECT_EQ(up->qdu_flags & (QDU_INITD | QDU_TRANSPORT_UP), 0u);
  EXPECT_EQ(up->qdu_state, SFSM_IDLE);
  EXPECT_EQ(up->pkt_head, nullptr);
  EXPECT_EQ(up->qdu_inflight, nullptr);
  EXPECT_EQ(free_packets(), qd_pkts.qd_pkt_cnt - 1);
  console();
}

} // namespace
