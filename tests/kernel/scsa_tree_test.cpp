// The SCSI layer in the device tree: adapter nodes with their transports, SCSI children
// with their scsi_device, the "misc/scsi" module, and a target driver that probes its
// children through the loader.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "kemu/ddi.h"
#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "ksys/ddi.h"
#include "ksys/modctl.h"
#include "ksys/scsi.h"

namespace {

using kemu::Attach;

// A target that answers INQUIRY as a device of type 9.
class Comm : public kemu::ScsiTarget {
public:
  void command(std::shared_ptr<kemu::ScsiCommand> cmd) override {
    if (cmd->opcode() == SCMD_INQUIRY && !cmd->data_in().empty()) {
      cmd->data_in()[0] = DTYPE_COMM;
    }
    cmd->complete(kemu::ScsiAnswer::good());
  }
};

// ---- A target driver that accepts children of type 9 ------------------------------------------

std::vector<std::string> g_log;

int sd_probe(dev_info_t* dip) {
  auto* devp = static_cast<scsi_device*>(ddi_get_driver_private(dip));
  const int rc = scsi_probe(devp, NULL_FUNC);
  const bool ok = rc == SCSIPROBE_EXISTS && devp->sd_inq->inq_dtype == DTYPE_COMM;
  // The adapter, reached the way a driver numbers its buses.
  g_log.push_back(std::string(ddi_node_name(devp->sd_address.a_hba_tran->tran_hba_dip)) +
                  std::to_string(ddi_get_instance(devp->sd_address.a_hba_tran->tran_hba_dip)) +
                  " target " + std::to_string(devp->sd_address.a_target) + ": " +
                  (ok ? "found" : "nothing"));
  scsi_unprobe(devp);
  return ok ? DDI_PROBE_SUCCESS : DDI_PROBE_FAILURE;
}

int sd_attach(dev_info_t*, ddi_attach_cmd_t cmd) {
  return cmd == DDI_ATTACH ? DDI_SUCCESS : DDI_FAILURE;
}
int sd_detach(dev_info_t*, ddi_detach_cmd_t cmd) {
  return cmd == DDI_DETACH ? DDI_SUCCESS : DDI_FAILURE;
}

cb_ops sd_cb_ops = {nulldev, nulldev, nodev,    nodev,       nodev,   nodev, nodev,  nodev, nodev,
                    nodev,   nodev,   nochpoll, ddi_prop_op, nullptr, D_MP,  CB_REV, nodev, nodev};
dev_ops sd_ops = {DEVO_REV,  0,     nullptr,    nulldev, sd_probe, sd_attach,
                  sd_detach, nodev, &sd_cb_ops, nullptr, nullptr};
modldrv sd_modldrv = {&mod_driverops, "toy SCSI target driver", &sd_ops};
modlinkage sd_modlinkage = {MODREV_1, {&sd_modldrv, nullptr}};
char sd_depends_on[] = "misc/scsi";

int sd_init() {
  return mod_install(&sd_modlinkage);
}
int sd_info(modinfo* mip) {
  return mod_info(&sd_modlinkage, mip);
}
int sd_fini() {
  return mod_remove(&sd_modlinkage);
}

class ScsaTree : public ::testing::Test {
protected:
  void SetUp() override { g_log.clear(); }
  void TearDown() override {
    scsa.reset();
    k.shutdown();
    for (const auto& r : k.take_reports()) {
      ADD_FAILURE() << "kernel report: " << r.what;
    }
  }

  kemu::Kernel k;
  kemu::Ddi ddi{kemu::TreeSpec{.adapters = kemu::TreeSpec::adapter_names(2)}};
  std::optional<kemu::Scsa> scsa{std::in_place};
};

TEST_F(ScsaTree, AdaptersAndChildrenAreTiedTogether) {
  const auto nodes = ddi.adapters();
  ASSERT_EQ(nodes.size(), 2u);
  ASSERT_EQ(scsa->adapters().size(), 2u);
  for (int i = 0; i < 2; ++i) {
    kemu::Hba& h = scsa->adapter(i);
    EXPECT_EQ(h.dip(), nodes[static_cast<std::size_t>(i)]);
    EXPECT_EQ(h.tran()->tran_hba_dip, h.dip());
    EXPECT_EQ(ddi.transport(h.dip()), h.tran());
    EXPECT_EQ(scsa->adapter_of(h.dip()), &h);
  }
  kemu::Hba& third = scsa->add_adapter();
  EXPECT_EQ(third.number(), 2);
  EXPECT_EQ(ddi.adapters().back(), third.dip());

  ASSERT_FALSE(ddi.load_conf("sd", "sd.conf",
                             "name=\"sd\" class=\"scsi\" target=4 lun=0;\n"
                             "name=\"sd\" parent=\"pseudo\";\n"));
  EXPECT_EQ(scsa->configure(), 3) << "one child per adapter, none under pseudo";
  EXPECT_EQ(scsa->configure(), 0);
  for (dev_info_t* child : ddi.nodes_of("sd")) {
    auto* d = static_cast<scsi_device*>(ddi_get_driver_private(child));
    if (ddi_get_parent(child) == ddi.pseudo()) {
      EXPECT_EQ(d, nullptr);
      continue;
    }
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d, scsa->device_of(child));
    EXPECT_EQ(d->sd_dev, child);
    EXPECT_EQ(d->sd_address.a_target, 4);
    EXPECT_EQ(d->sd_address.a_lun, 0);
    EXPECT_EQ(d->sd_address.a_hba_tran->tran_hba_dip, ddi_get_parent(child));
  }
  // A new driver.conf replaces the children: the new ones get records of their own.
  ASSERT_FALSE(ddi.load_conf("sd", "sd.conf", "name=\"sd\" class=\"scsi\" target=5 lun=1;\n"));
  EXPECT_EQ(scsa->configure(), 3);
  for (dev_info_t* child : ddi.nodes_of("sd")) {
    auto* d = static_cast<scsi_device*>(ddi_get_driver_private(child));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->sd_address.a_target, 5);
    EXPECT_EQ(d->sd_address.a_lun, 1);
  }
  scsa.reset();
  for (dev_info_t* child : ddi.nodes_of("sd")) {
    EXPECT_EQ(ddi_get_driver_private(child), nullptr) << "released with the layer";
  }
  EXPECT_EQ(ddi.transport(nodes[0]), nullptr);
}

TEST_F(ScsaTree, TargetDriverLoadsOnlyWithTheScsiModule) {
  EXPECT_TRUE(ddi.module_known("misc/scsi"));
  scsa->adapter(1).plug(4, 0, std::make_shared<Comm>());
  ASSERT_FALSE(ddi.load_conf("sd", "sd.conf", "name=\"sd\" class=\"scsi\" target=4 lun=0;\n"));
  scsa->configure();
  const kemu::ModuleImage image{"sd", sd_init, sd_info, sd_fini, sd_depends_on};
  ASSERT_EQ(ddi.load(image), 0) << ddi.last_error();
  EXPECT_EQ(ddi.attach_all("sd"), (std::vector<Attach>{Attach::kProbeFailed, Attach::kAttached}));
  EXPECT_EQ(g_log,
            (std::vector<std::string>{"emhba0 target 4: nothing", "emhba1 target 4: found"}));
  ASSERT_EQ(ddi.unload("sd"), 0) << ddi.last_error();

  scsa.reset();
  EXPECT_FALSE(ddi.module_known("misc/scsi"));
  EXPECT_EQ(ddi.load(image), ENOENT);
}

} // namespace
