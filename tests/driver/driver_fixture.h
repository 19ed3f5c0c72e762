// Test fixture for driver code: a kernel on the virtual clock and freshly reset driver
// state for every test. Test bodies run as a user context through run(); at the end the
// fixture frees all tracked memory and checks that the kernel saw no misuse (locks, frees)
// and that no kernel memory is left.
//
// Extending it: derive, and build more state (attached units, opened lines) in SetUp()
// after calling DriverFixture::SetUp(), or in helpers that run inside run().
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kemu/console.h"
#include "kemu/kernel.h"
#include "qddrv.h"

class DriverFixture : public ::testing::Test {
protected:
  void SetUp() override {
    kemu::take_console();
    qd_reset_driver_state();
  }

  void TearDown() override {
    run([] { qd_freeall(); });
    EXPECT_EQ(kernel_.kmem_outstanding_count(), 0u) << "kernel memory left after qd_freeall";
    for (const kemu::Report& r : kernel_.take_reports()) {
      ADD_FAILURE() << "kernel report: " << r.what;
    }
  }

  // Runs body as a user context; gtest assertions inside it work as usual.
  void run(const std::function<void()>& body) {
    EXPECT_TRUE(kernel_.call(body)) << "the kernel could not complete the call";
  }

public:
  // What the driver printed since the last look.
  static std::string console() { return kemu::take_console(); }

  // A unit record as probe (SCSI) or the qd.conf reading (Lanvara) leaves it, entered in
  // qd_units, with its mutexes and receive packet. Call inside run().
  static qd_unit* make_unit(const char* model, int bus, int target) {
    const qd_unitinfo* info = qdm_get_unitinfo(model);
    EXPECT_NE(info, nullptr) << model;
    auto* up = static_cast<qd_unit*>(qd_malloc(sizeof(qd_unit)));
    const bool lanvara = (info->flags & QDM_LANVARA) != 0;
    const int nlines = lanvara ? QD_VRN_NLINES : info->nlines;
    up->qd_lines = static_cast<qd_line**>(qd_malloc(sizeof(qd_line*) * nlines));
    up->qdu_info = info;
    up->qdu_bus = lanvara ? -1 : bus;
    up->qdu_target = target;
    up->qdu_flags = lanvara ? (QDU_LANVARA | QDU_OFFLINE) : (QDU_OFFLINE | QDU_ATTACHED);
    mutex_init(&up->unit_mutex, "unit_mutex", MUTEX_DRIVER, nullptr);
    mutex_init(&up->intr_mutex, "intr_mutex", MUTEX_DRIVER, nullptr);
    mutex_init(&up->ttycommon_mutex, "ttycommon_mutex", MUTEX_DRIVER, nullptr);
    cv_init(&up->qd_up_cv, "qd_up_cv", CV_DRIVER, nullptr);
    qdm_allocmorepkts(QD_PKT_GROW);
    up->qdu_rcvpkt = lanvara ? qdm_vrn_getrcvpkt() : qdm_getpkt(info->pktsize);
    qd_units[lanvara ? QD_VRN_BASE + target : bus * 16 + target] = up;
    return up;
  }

  // A port's line record as its first open creates it. Call inside run().
  static qd_line* make_line(qd_unit* up, unsigned line) {
    auto* lp = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
    qd_line_create_port(lp, up, line);
    up->qd_lines[line] = lp;
    return lp;
  }

protected:
  kemu::Kernel kernel_;
};

// Holds a mutex for a scope, as the driver's callers hold it around the routines that
// require it. Call inside a kernel context.
class HeldLock {
public:
  explicit HeldLock(kmutex_t* mp) : mp_(mp) { mutex_enter(mp_); }
  ~HeldLock() { mutex_exit(mp_); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

private:
  kmutex_t* mp_;
};

// The text of a ring that has not wrapped: from its start up to the end mark.
inline std::string ring_text(const qd_trace_ring* ring) {
  const std::string all(ring->data, QD_TRC_SIZE);
  return all.substr(0, all.find('~'));
}
