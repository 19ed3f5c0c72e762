// Fixture for the transport, the unit operations and the timer: the driver fixture plus a
// device tree, the SCSI layer with one adapter, a toy target, and helpers that build units
// as probe and attach leave them. TearDown stops the timer and releases what the units
// hold of the SCSI layer (as unload does) before the driver fixture checks for leaks.
#pragma once

#include <functional>
#include <memory>

#include "driver_fixture.h"
#include "kemu/ddi.h"
#include "kemu/hba.h"
#include "kemu/streams.h"
#include "ksys/scsi.h"
#include "ksys/stream.h"
#include "toy_scsi_target.h"

class TransportFixture : public DriverFixture {
protected:
  void SetUp() override {
    DriverFixture::SetUp();
    ddi_ = std::make_unique<kemu::Ddi>(tree());
    scsa_ = std::make_unique<kemu::Scsa>();
    hba_ = &scsa_->adapter(0);
    target_ = std::make_shared<ToyTarget>();
  }

  void TearDown() override {
    run([] { qd_going_down = 1; });
    kernel_.run_until([] { return qd_timer_running == 0; });
    // Units stop sending, and what the target still holds completes into the void.
    for (qd_unit* up : qd_units) {
      if (up != nullptr) {
        up->qdu_flags |= QDU_OFFLINE;
      }
    }
    target_->release_write();
    if (target_->read_held()) {
      target_->answer();
    }
    kernel_.settle();
    run([] {
      for (qd_unit* up : qd_units) {
        if (up == nullptr) {
          continue;
        }
        if (up->qdu_retry_tid != nullptr) {
          untimeout(up->qdu_retry_tid);
        }
        for (scsi_pkt* p : {up->qdu_sendpkt, up->qdu_recvpkt}) {
          if (p != nullptr) {
            scsi_destroy_pkt(p);
          }
        }
        for (buf* b : {up->qdu_sendbp, up->qdu_recvbp}) {
          if (b != nullptr) {
            freerbuf(b);
          }
        }
      }
    });
    kernel_.settle();
    unit_nodes_.clear();
    kemu::clear_streams_faults();
    DriverFixture::TearDown();
    scsa_.reset();
    ddi_.reset();
  }

  virtual kemu::TreeSpec tree() { return {}; }

  // Runs fn inside the kernel with the unit's "unit_mutex" held.
  void locked(qd_unit* up, const std::function<void()>& fn) {
    run([&] {
      mutex_enter(&up->unit_mutex);
      fn();
      mutex_exit(&up->unit_mutex);
    });
  }

  // qdm_init_unit under the unit's mutex.
  int bring_up(qd_unit* up) {
    int r = -1;
    locked(up, [&] { r = qdm_init_unit(up); });
    return r;
  }

  // A SCSI unit as attach leaves it (offline, attached), on bus 0, with the toy target.
  qd_unit* scsi_unit(const char* model = "QMX-16S-115A", int target = 3) {
    qd_unit* up = nullptr;
    run([&] {
      up = make_unit(model, 0, target);
      up->qdu_devp = hba_->device(target, 0);
      up->qdu_devp->sd_private = reinterpret_cast<caddr_t>(up);
      up->qdu_statuslen =
          scsi_ifsetcap(&up->qdu_devp->sd_address, "auto-rqsense", 1, 1) == 1 ? 32 : 1;
    });
    hba_->plug(target, 0, target_);
    qd_bus_cnt = 1;
    trace_rings_ready(up, nullptr);
    return up;
  }

  // The unit brought up: its first command went out and its READ is held by the target.
  qd_unit* running_unit(const char* model = "QMX-16S-115A", int target = 3) {
    qd_unit* up = scsi_unit(model, target);
    EXPECT_EQ(bring_up(up), 0);
    kernel_.settle();
    EXPECT_TRUE(target_->read_held());
    target_->forget();
    console();
    return up;
  }

  // Reserves one 8-byte command and kicks, as the line layer does.
  void queue_cmd(qd_unit* up, unsigned char op, unsigned char line) {
    locked(up, [&] {
      unsigned char* p = qdm_putfas(up, 8);
      ASSERT_NE(p, nullptr);
      std::fill_n(p, 8, 0);
      p[0] = op;
      p[1] = line;
      qdm_scsifsm(up, SFSM_IN_KICK);
    });
  }

  // An enabled line of the unit.
  qd_line* enabled_line(qd_unit* up, unsigned line) {
    qd_line* lp = nullptr;
    run([&] {
      lp = make_line(up, line);
      lp->qdl_flags = QDL_ENABLED | QDL_INITDEINIT;
    });
    trace_rings_ready(up, lp);
    return lp;
  }

  // A Lanvara unit whose unit node is open; its read queue collects what is sent.
  qd_unit* lanvara_unit(int n, const char* model = "Lanvara8S-115A") {
    qd_unit* up = nullptr;
    queue_t* rq =
        kemu::read_queue(*unit_nodes_.emplace_back(kemu::make_queue_pair(nullptr, nullptr)));
    run([&] {
      up = make_unit(model, 0, n);
      auto* lp = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
      lp->unit = up;
      lp->line_num = QD_UNITNODE_LINE;
      lp->unit_mutex = &up->unit_mutex;
      lp->qdl_flags = QDL_UNITNODE;
      lp->tty.t_readq = rq;
      up->qdu_unitnode = lp;
    });
    trace_rings_ready(up, up->qdu_unitnode);
    return up;
  }

  // The messages queued up the unit's unit node, each as its bytes.
  static std::vector<Bytes> unit_node_messages(const qd_unit* up) {
    std::vector<Bytes> out;
    for (mblk_t* mp = up->qdu_unitnode->tty.t_readq->q_first; mp != nullptr; mp = mp->b_next) {
      out.emplace_back(mp->b_rptr, mp->b_wptr);
    }
    return out;
  }

  // The driver's timer armed, as the first attach arms it.
  void start_timer() {
    run([] { qdm_init_driver(nullptr); });
    console();
  }

  // Sets up the rings that records about the unit and the line go to, so that their
  // set-up notes do not mix with the console text a test looks at.
  void trace_rings_ready(qd_unit* up, qd_line* lp) {
    run([&] {
      qd_trace_drv("test\n");
      qd_trace_unit(up, "test\n");
      if (lp != nullptr) {
        qd_trace_line(lp, "test\n");
      }
    });
    console();
  }

  // Count of packets on the pool's free list.
  static int free_packets() {
    int n = 0;
    for (qd_pkt* p = qd_pkts.qd_pkt_free; p != nullptr; p = p->next) {
      ++n;
    }
    return n;
  }

  std::unique_ptr<kemu::Ddi> ddi_;
  std::unique_ptr<kemu::Scsa> scsa_;
  kemu::Hba* hba_ = nullptr;
  std::shared_ptr<ToyTarget> target_;
  std::vector<kemu::QueuePairPtr> unit_nodes_;
};
