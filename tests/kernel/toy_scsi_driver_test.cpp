// The whole road a SCSI STREAMS driver takes through the kernel layer: loaded from a
// driver.conf text, probing and attaching children on two adapters, creating nodes, opened
// through a stream head, and unloaded with nothing left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "kemu/ddi.h"
#include "kemu/devopen.h"
#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "kemu/streams.h"
#include "ksys/ddi.h"
#include "ksys/kmem.h"
#include "ksys/modctl.h"
#include "ksys/scsi.h"
#include "ksys/stream.h"

namespace {

// A communications device: answers INQUIRY with device type 9.
class CommTarget : public kemu::ScsiTarget {
public:
  void command(std::shared_ptr<kemu::ScsiCommand> cmd) override {
    if (cmd->opcode() == SCMD_INQUIRY && !cmd->data_in().empty()) {
      cmd->data_in()[0] = DTYPE_COMM;
    }
    cmd->complete(kemu::ScsiAnswer::good());
  }
};

// Per attached child: a kmem record that unload must give back.
struct toy_unit {
  int bus;
  int target;
};

int toy_open(queue_t* q, dev_t*, int, int, cred_t*) {
  qprocson(q);
  return 0;
}
int toy_close(queue_t* q, int, cred_t*) {
  qprocsoff(q);
  return 0;
}
int toy_rput(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}
int toy_wput(queue_t* q, mblk_t* mp) {
  if (mp->b_datap->db_type == M_DATA) {
    qreply(q, mp); // echo
  } else {
    freemsg(mp);
  }
  return 0;
}

module_info toy_minfo = {0, "toy", 0, INFPSZ, 512, 128};
qinit toy_rinit = {toy_rput, nullptr, toy_open, toy_close, nullptr, &toy_minfo, nullptr};
qinit toy_winit = {toy_wput, nullptr, nullptr, nullptr, nullptr, &toy_minfo, nullptr};
streamtab toy_info = {&toy_rinit, &toy_winit, nullptr, nullptr};

int toy_probe(dev_info_t* dip) {
  auto* devp = static_cast<scsi_device*>(ddi_get_driver_private(dip));
  if (devp == nullptr) {
    return DDI_PROBE_FAILURE;
  }
  const bool ok =
      scsi_probe(devp, NULL_FUNC) == SCSIPROBE_EXISTS && devp->sd_inq->inq_dtype == DTYPE_COMM;
  scsi_unprobe(devp);
  return ok ? DDI_PROBE_SUCCESS : DDI_PROBE_FAILURE;
}

int toy_attach(dev_info_t* dip, ddi_attach_cmd_t cmd) {
  if (cmd != DDI_ATTACH) {
    return DDI_FAILURE;
  }
  auto* devp = static_cast<scsi_device*>(ddi_get_driver_private(dip));
  const int bus = ddi_get_instance(devp->sd_address.a_hba_tran->tran_hba_dip);
  auto* up = static_cast<toy_unit*>(kmem_zalloc(sizeof(toy_unit), KM_SLEEP));
  up->bus = bus;
  up->target = devp->sd_address.a_target;
  devp->sd_private = reinterpret_cast<caddr_t>(up);
  const std::string name = "toy" + std::to_string(bus) + std::to_string(up->target);
  const minor_t minor = static_cast<minor_t>(bus << 12 | up->target << 8);
  if (ddi_create_minor_node(dip, name.c_str(), S_IFCHR, minor, DDI_NT_SERIAL, 0) != DDI_SUCCESS) {
    ddi_remove_minor_node(dip, nullptr);
    return DDI_FAILURE;
  }
  return DDI_SUCCESS;
}

int toy_detach(dev_info_t* dip, ddi_detach_cmd_t cmd) {
  if (cmd != DDI_DETACH) {
    return DDI_FAILURE;
  }
  auto* devp = static_cast<scsi_device*>(ddi_get_driver_private(dip));
  kmem_free(devp->sd_private, sizeof(toy_unit));
  devp->sd_private = nullptr;
  ddi_remove_minor_node(dip, nullptr);
  return DDI_SUCCESS;
}

cb_ops toy_cb_ops = {nulldev,     nulldev,   nodev, nodev,  nodev, nodev,
                     nodev,       nodev,     nodev, nodev,  nodev, nochpoll,
                     ddi_prop_op, &toy_info, D_MP,  CB_REV, nodev, nodev};
dev_ops toy_ops = {DEVO_REV,   0,     nullptr,     nulldev, toy_probe, toy_attach,
                   toy_detach, nodev, &toy_cb_ops, nullptr, nullptr};
modldrv toy_modldrv = {&mod_driverops, "toy SCSI STREAMS driver", &toy_ops};
modlinkage toy_modlinkage = {MODREV_1, {&toy_modldrv, nullptr}};
char toy_depends_on[] = "misc/scsi";

int toy_init() {
  return mod_install(&toy_modlinkage);
}
int toy_info_entry(modinfo* mip) {
  return mod_info(&toy_modlinkage, mip);
}
int toy_fini() {
  return mod_remove(&toy_modlinkage);
}

TEST(ToyScsiDriver, LoadsAttachesOpensAndUnloadsCleanly) {
  kemu::Kernel k;
  {
    kemu::Ddi ddi{kemu::TreeSpec{.adapters = kemu::TreeSpec::adapter_names(2)}};
    std::optional<kemu::Scsa> scsa{std::in_place};
    scsa->adapter(0).plug(2, 0, std::make_shared<CommTarget>());
    scsa->adapter(1).plug(5, 0, std::make_shared<CommTarget>());

    ASSERT_FALSE(ddi.load_conf("toy", "toy.conf",
                               "# one child per target of interest on every adapter\n"
                               "name=\"toy\" class=\"scsi\" target=2 lun=0;\n"
                               "name=\"toy\" class=\"scsi\" target=5 lun=0;\n"));
    scsa->configure();
    ASSERT_EQ(ddi.load({"toy", toy_init, toy_info_entry, toy_fini, toy_depends_on}), 0)
        << ddi.last_error();
    const auto results = ddi.attach_all("toy");
    EXPECT_EQ(std::count(results.begin(), results.end(), kemu::Attach::kAttached), 2)
        << "target 2 on bus 0 and target 5 on bus 1";

    std::vector<std::string> names;
    for (const kemu::MinorNode& m : ddi.minor_nodes()) {
      names.push_back(m.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"toy02", "toy15"}));
    const auto node = ddi.find_minor("toy15");
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(getminor(node->dev), 0x1500u);

    kemu::StreamFile f;
    ASSERT_EQ(kemu::as_user([&] { return kemu::open_device("toy15", FREAD | FWRITE, nullptr, f); }),
              0);
    EXPECT_EQ(kemu::as_user([&] { return f.write("ping"); }).value, 4);
    std::array<std::byte, 16> buf{};
    const kemu::IoResult r = kemu::as_user([&] { return f.read(buf); });
    ASSERT_EQ(r.value, 4);
    EXPECT_EQ(std::memcmp(buf.data(), "ping", 4), 0);
    EXPECT_EQ(kemu::as_user([&] { return f.close(); }), 0);

    ASSERT_EQ(ddi.unload("toy"), 0) << ddi.last_error();
    EXPECT_TRUE(ddi.minor_nodes().empty());
    EXPECT_EQ(kemu::streams_open_count(), 0u);
    EXPECT_EQ(kemu::streams_outstanding_blocks(), 0u);
    EXPECT_EQ(k.kmem_outstanding_count(), 0u);
    scsa.reset();
  }
  k.shutdown();
  for (const auto& r : k.take_reports()) {
    ADD_FAILURE() << "kernel report: " << r.what;
  }
}

} // namespace
