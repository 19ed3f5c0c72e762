// The kernel clock binding, and the topology builder as tests and qdhost use it: devices
// by address, far ends, conf entries, children a driver can probe.
#include "scsi_unit_fixture.h"

#include <stdexcept>
#include <string>

#include "kemu/ddi.h"
#include "qdemu/kernel_clock.h"

namespace qdemu::test {
namespace {

TEST(KernelClock, CallsBackAsInterruptWorkAtItsTick) {
  kemu::Kernel k;
  KernelClock clock(k);
  k.advance(10);
  ASSERT_EQ(clock.now(), 10u);
  std::vector<std::pair<Tick, char>> ran;
  const auto note = [&](char c) {
    return [&, c] {
      EXPECT_EQ(k.context_kind(), kemu::ContextKind::kInterrupt);
      ran.emplace_back(clock.now(), c);
    };
  };
  const TimerId a = clock.call_at(15, note('a'));
  const TimerId b = clock.call_at(13, note('b'));
  const TimerId gone = clock.call_at(14, note('x'));
  const TimerId late = clock.call_at(3, note('p')); // past: now, but not inside call_at
  EXPECT_TRUE(ran.empty());
  for (TimerId id : {a, b, gone, late})
    EXPECT_NE(id, 0u);
  clock.cancel(gone);
  k.advance(10);
  clock.cancel(a); // spent: ignored
  EXPECT_EQ(ran, (std::vector<std::pair<Tick, char>>{{10, 'p'}, {13, 'b'}, {15, 'a'}}));
  k.shutdown();
  EXPECT_TRUE(k.take_reports().empty());
}

TEST(KernelClock, EngineTimedWorkRunsOnKernelTime) {
  kemu::Kernel k;
  KernelClock clock(k);
  Engine engine(clock, *qdm_get_unitinfo("QMX-8S-115A"));
  std::vector<clock_t> ready_at;
  engine.set_listener([&](Notice n) {
    if (n == Notice::answers_ready)
      ready_at.push_back(k.lbolt());
  });
  engine.faults().set_latency(FAS_SET_MODEM, 7);
  const clock_t t0 = k.lbolt();
  EXPECT_EQ(engine.feed_batch(batch_of({cmd({FAS_SET_MODEM, 0, 1, 1})})).error, BatchError::none);
  k.advance(6);
  EXPECT_TRUE(ready_at.empty());
  k.advance(1);
  EXPECT_EQ(ready_at, std::vector<clock_t>{t0 + 7});
  k.shutdown();
}

using Topology = ScsiUnitTest;

TEST_F(Topology, DevicesByAddressWithTheirFarEnds) {
  QmxUnit& unit = topo.add_qmx(
      1, 2, QmxSpec{{.model = "QMX-8S1P-115A", .firmware = "V2.2"}}.loopback({0, 1}).peers({2}));
  topo.add_qmx(0, 2, {{.model = "QMX-3P"}});
  topo.add_device(1, 5);
  EXPECT_EQ(scsa.adapters().size(), 2u);
  EXPECT_EQ(&topo.qmx(1, 2), &unit);
  EXPECT_EQ(topo.find_qmx(1, 5), nullptr);
  EXPECT_NE(topo.find_device(1, 5), nullptr);
  EXPECT_THROW(topo.qmx(0, 3), std::out_of_range);
  EXPECT_EQ(topo.addresses(), (std::vector<ScsiAddress>{{0, 2}, {1, 2}, {1, 5}}));
  EXPECT_EQ(topo.conf_nodes(), "name=\"qd\" class=\"scsi\" target=2 lun=0;\n"
                               "name=\"qd\" class=\"scsi\" target=5 lun=0;\n");

  EXPECT_NE(std::dynamic_pointer_cast<LoopbackPlug>(unit.far_end(1)), nullptr);
  EXPECT_NE(unit.peer(2), nullptr);
  EXPECT_EQ(unit.peer(1), nullptr);
  EXPECT_EQ(unit.far_end(3), nullptr);
  unit.engine().set_carrier(2, true);
  EXPECT_TRUE(unit.engine().line_state(2).carrier);

  EXPECT_THROW(topo.add_qmx(1, 2, {{.model = "QMX-3P"}}), std::invalid_argument);
  EXPECT_THROW(topo.add_qmx(0, 16, {{.model = "QMX-3P"}}), std::invalid_argument);
  EXPECT_THROW(topo.add_qmx(0, 4, {{.model = "QMX-3"}}), std::invalid_argument);
  EXPECT_THROW(topo.add_qmx(0, 4, QmxSpec{{.model = "QMX-3P"}}.peers({3})), std::out_of_range);

  // Taken off the bus with a READ held: the READ ends, and nothing answers there now.
  wake();
  Cmd& held = start(cdb6(SCMD_READ, kReadLen), {}, kReadLen);
  topo.remove(0, 2);
  k.settle();
  EXPECT_EQ(held.out.reason, CMD_UNX_BUS_FREE);
  EXPECT_EQ(run(cdb_inquiry(36), {}, 36, 2).reason, CMD_INCOMPLETE);
}

// The road of a driver: conf entries from the topology, children on every adapter, each
// probed for what answers at its address.
TEST(TopologyTree, ChildrenOfTheConfEntriesProbeTheirDevices) {
  kemu::Kernel k;
  {
    kemu::Ddi ddi{kemu::TreeSpec{.adapters = kemu::TreeSpec::adapter_names(2)}};
    kemu::Scsa scsa;
    ScsiTopology topo(k, scsa);
    topo.add_qmx(0, 3, {{.model = "QMX-16S-115A", .vendor = "Brannoc"}});
    topo.add_device(1, 6, {.device_type = DTYPE_SEQUENTIAL});
    ASSERT_FALSE(ddi.load_conf("qd", "qd.conf", topo.conf_nodes()));
    EXPECT_EQ(scsa.configure(), 4) << "targets 3 and 6 on both adapters";
    std::vector<std::string> found;
    ASSERT_TRUE(k.call([&] {
      for (dev_info_t* child : ddi.nodes_of("qd")) {
        scsi_device* devp = scsa.device_of(child);
        if (scsi_probe(devp, NULL_FUNC) == SCSIPROBE_EXISTS) {
          found.push_back(std::to_string(devp->sd_address.a_target) + ":" +
                          std::to_string(devp->sd_inq->inq_dtype) + ":" +
                          std::string(devp->sd_inq->inq_vid, 8));
        }
        scsi_unprobe(devp);
      }
    }));
    EXPECT_EQ(found, (std::vector<std::string>{"3:9:Brannoc ", "6:1:QUANTRIX"}));
  }
  k.shutdown();
  for (const auto& r : k.take_reports())
    ADD_FAILURE() << r.what;
}

} // namespace
} // namespace qdemu::test
