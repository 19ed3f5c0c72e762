// Loading and autoconfiguration: identify, probe and attach of the pseudo instance and of
// SCSI children on two adapters, the check bring-up of each unit, getinfo, the linkage.
#include <cstring>

#include "loaded_driver_fixture.h"

namespace loaded_test {
namespace {

using Autoconf = LoadedDriverFixture;
using kemu::Attach;

std::string banner() {
  return std::string("Orvane Lanvara(R)/QMX(TM) Module Driver R3.014 ") + qd_trace_banner + "\n";
}

TEST_F(Autoconf, UnitsOnTwoAdaptersAttachAndTheRestIsRefused) {
  topo_->add_qmx(0, 2, {{.model = "QMX-8S1P-115A", .firmware = "V2.3"}});
  topo_->add_qmx(1, 4, {{.model = "QMX-16S-115A", .vendor = "BrannocZ", .firmware = "V1.9"}});
  topo_->add_device(0, 5);                                                    // a disk
  topo_->add_device(1, 6, {.device_type = DTYPE_COMM, .vendor = "Orvane  "}); // another maker
  topo_->add_qmx(0, 7,
                 {{.model = "QMX-8S-115A",
                   .firmware = "V9.9",
                   .product = "QMX-NEWMODEL-XYZ"}}); // all 16 characters
  const auto results = load("forceload=1;\nallow_unload=1;\n");
  // Node order: the pseudo instance, then targets 2, 4, 5, 6, 7 on adapters 0 and 1.
  EXPECT_EQ(results,
            (std::vector<Attach>{Attach::kAttached, Attach::kAttached, Attach::kProbeFailed,
                                 Attach::kProbeFailed, Attach::kAttached, Attach::kProbeFailed,
                                 Attach::kProbeFailed, Attach::kProbeFailed, Attach::kProbeFailed,
                                 Attach::kProbeFailed, Attach::kProbeFailed}));
  EXPECT_EQ(console(), banner() + "     for Solaris 2.5.1, 2.6, 7 (X86) configured.\n"
                                  "Orvane QMX-8S1P-115A V2.3 at bus/target = 0/2\n"
                                  "Orvane QMX-16S-115A V1.9 at bus/target = 1/4\n"
                                  // The text stops at the end of the revision, never past it.
                                  "WARNING: Unrecognized Orvane device: QMX-NEWMODEL-XYZV9.9\n"
                                  "A newer driver revision may be needed.\n"
                                  "Contact Orvane for assistance.\n");

  EXPECT_EQ(qd_bus_cnt, 2);
  for (auto [bus, target] : {std::pair{0, 2}, std::pair{1, 4}}) {
    const qd_unit* up = scsi_unit(bus, target);
    ASSERT_NE(up, nullptr);
    // The check bring-up restarted the firmware and took the unit down again.
    EXPECT_EQ(topo_->qmx(bus, target).stats().restarts, 1u);
    EXPECT_EQ(up->qdu_flags & (QDU_ATTACHED | QDU_OFFLINE | QDU_INITD | QDU_TRANSPORT_UP),
              QDU_ATTACHED);
    EXPECT_EQ(up->qdu_bus, bus);
    EXPECT_EQ(up->qdu_statuslen, 32);
    EXPECT_NE(up->qdu_rcvpkt, nullptr);
    EXPECT_EQ(reinterpret_cast<qd_unit*>(up->qdu_devp->sd_private), up);
  }
  EXPECT_EQ(scsi_unit(0, 2)->qdu_caps, QDU_CAP_TIMEOUT15 | QDU_CAP_RESET | QDU_CAP_WAITSEND);
  EXPECT_EQ(scsi_unit(1, 4)->qdu_caps, 0u);
  EXPECT_STREQ(scsi_unit(1, 4)->qdu_fwrev, "V1.9");
  // Refused targets get no record, but probe keeps every device it looked at.
  for (int slot : {5, 16 + 6, 7}) {
    EXPECT_EQ(qd_units[slot], nullptr) << slot;
    EXPECT_NE(qd_devs[slot], nullptr) << slot;
  }
}

TEST_F(Autoconf, CapabilitiesFollowTheFirmwareRevision) {
  const std::pair<const char*, std::uint32_t> revisions[] = {
      {"V1.9", 0}, {"V2.2", QDU_CAP_TIMEOUT15}, {"V2.3", 0xb}, {"V3.0", 0xb}, {"V2.\xff", 1}};
  int target = 1;
  for (const auto& [rev, caps] : revisions) {
    topo_->add_qmx(0, target++, {{.model = "QMX-4S-115A", .firmware = rev}});
  }
  scsa_->adapter(0).set_arq_support(kemu::ArqSupport::kNotSettable);
  load("allow_unload=1;\n", false);
  target = 1;
  for (const auto& [rev, caps] : revisions) {
    const qd_unit* up = scsi_unit(0, target++);
    ASSERT_NE(up, nullptr) << rev;
    EXPECT_EQ(up->qdu_caps, caps) << rev;
    EXPECT_EQ(up->qdu_statuslen, 1) << "auto request sense refused";
  }
}

// Children the unit table has no room for, and other LUNs, are refused before the inquiry:
// neither reaches qd_devs (target 16 of bus 0 would take the slot of bus 1, target 0).
TEST_F(Autoconf, TargetAbove15AndOtherLunsAreRefused) {
  topo_->add_qmx(0, 0, {{.model = "QMX-4S-115A"}});
  ASSERT_FALSE(ddi_->load_conf("qd", "qd.conf",
                               "allow_unload=1;\n"
                               "name=\"qd\" class=\"scsi\" target=0 lun=0;\n"
                               "name=\"qd\" class=\"scsi\" target=16 lun=0;\n"
                               "name=\"qd\" class=\"scsi\" target=0 lun=1;\n"));
  scsa_->configure();
  ASSERT_EQ(ddi_->load(qd_module_image()), 0);
  EXPECT_EQ(
      ddi_->attach_all("qd"),
      (std::vector<Attach>{Attach::kAttached, Attach::kProbeFailed, Attach::kProbeFailed,
                           Attach::kProbeFailed, Attach::kProbeFailed, Attach::kProbeFailed}));
  for (int slot = 1; slot < QD_NDEVS; ++slot) {
    if (slot != 16) {
      ASSERT_EQ(qd_devs[slot], nullptr) << slot << ": the child on adapter 1, target 0";
    }
  }
  EXPECT_EQ(qd_devs[16], scsa_->device_of(child(1, 0)));
  ASSERT_NE(qd_devs[0], nullptr);
  EXPECT_EQ(qd_devs[0]->sd_address.a_lun, 0);
  EXPECT_EQ(qd_devs[0]->sd_address.a_target, 0);
}

TEST_F(Autoconf, GetinfoAndTheModuleLinkage) {
  topo_->add_qmx(0, 2, {{.model = "QMX-4S-115A"}});
  load();
  const auto node = ddi_->find_minor("ttyc21,cu");
  ASSERT_TRUE(node.has_value());
  void* result = nullptr;
  EXPECT_EQ(ddi_->getinfo(node->dev, DDI_INFO_DEVT2INSTANCE, &result), DDI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(result), 0x20201u);
  EXPECT_EQ(ddi_->getinfo(node->dev, DDI_INFO_DEVT2DEVINFO, &result), DDI_SUCCESS);
  EXPECT_EQ(result, child(0, 2));
  modinfo mi{};
  EXPECT_NE(ddi_->info("qd", &mi), 0);
  EXPECT_STREQ(mi.mi_msinfo[0].msi_linkinfo, "Orvane Lanvara/QMX module drvr");
  EXPECT_EQ(ddi_->streamtab_of(*ddi_->major_of("qd")), &qdinfo);
}

} // namespace
} // namespace loaded_test
