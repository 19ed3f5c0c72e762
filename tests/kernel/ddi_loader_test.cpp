// The loader with a toy driver: _init, identify, probe, attach, detach and _fini in order,
// refusals at each step, dependencies, minor nodes and the device switch.
#include "kemu/ddi.h"
#include "kemu/devopen.h"
#include "kemu/kernel.h"
#include "ksys/ddi.h"
#include "ksys/modctl.h"
#include "ksys/time.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using kemu::Attach;
using kemu::Ddi;
using kemu::TreeSpec;

// ---- The toy driver -----------------------------------------------------------------------

struct ToyBehaviour {
  bool identify = true;
  int probe = DDI_PROBE_SUCCESS;
  bool attach = true;
  bool detach = true;
  bool install = true; // _init calls mod_install
  int init_result = 0; // _init's result when it installs
  bool make_nodes = true;
  bool fini_refuses = false;         // _fini answers EBUSY without trying mod_remove
  clock_t attach_delay = 0;          // attach blocks this long
  std::vector<int> refuse_detach_of; // instances whose detach fails
};

ToyBehaviour g_toy;
std::vector<std::string> g_log;
bool g_all_in_user_context = true;

void record(const std::string& what, dev_info_t* dip = nullptr) {
  if (!kemu::Kernel::exists() ||
      kemu::Kernel::current().context_kind() != kemu::ContextKind::kUser) {
    g_all_in_user_context = false;
  }
  g_log.push_back(dip != nullptr ? what + " " + std::to_string(ddi_get_instance(dip)) : what);
}

int toy_identify(dev_info_t* dip) {
  record("identify", dip);
  return g_toy.identify ? DDI_IDENTIFIED : DDI_NOT_IDENTIFIED;
}

int toy_probe(dev_info_t* dip) {
  record("probe", dip);
  return g_toy.probe;
}

int toy_attach(dev_info_t* dip, ddi_attach_cmd_t cmd) {
  record("attach", dip);
  if (cmd != DDI_ATTACH || !g_toy.attach) {
    return DDI_FAILURE;
  }
  if (g_toy.attach_delay > 0) {
    delay(g_toy.attach_delay);
  }
  if (g_toy.make_nodes) {
    const int inst = ddi_get_instance(dip);
    const std::string tty = "toy" + std::to_string(inst);
    const std::string cu = tty + ",cu";
    if (ddi_create_minor_node(dip, tty.c_str(), S_IFCHR, inst, DDI_NT_SERIAL, 0) != DDI_SUCCESS ||
        ddi_create_minor_node(dip, cu.c_str(), S_IFCHR, inst | 0x20000, DDI_NT_SERIAL_DO, 0) !=
            DDI_SUCCESS) {
      ddi_remove_minor_node(dip, nullptr);
      return DDI_FAILURE;
    }
  }
  ddi_report_dev(dip);
  return DDI_SUCCESS;
}

int toy_detach(dev_info_t* dip, ddi_detach_cmd_t cmd) {
  record("detach", dip);
  const int inst = ddi_get_instance(dip);
  if (cmd != DDI_DETACH || !g_toy.detach ||
      std::find(g_toy.refuse_detach_of.begin(), g_toy.refuse_detach_of.end(), inst) !=
          g_toy.refuse_detach_of.end()) {
    return DDI_FAILURE;
  }
  ddi_remove_minor_node(dip, nullptr);
  return DDI_SUCCESS;
}

int toy_getinfo(dev_info_t* dip, ddi_info_cmd_t cmd, void* arg, void** result) {
  const dev_t dev = static_cast<dev_t>(reinterpret_cast<uintptr_t>(arg));
  switch (cmd) {
  case DDI_INFO_DEVT2DEVINFO:
    *result = dip;
    return DDI_SUCCESS;
  case DDI_INFO_DEVT2INSTANCE:
    *result = reinterpret_cast<void*>(static_cast<uintptr_t>(getminor(dev) & 0xffff));
    return DDI_SUCCESS;
  }
  return DDI_FAILURE;
}

cb_ops toy_cb_ops = {nulldev,     nulldev, nodev,        nodev,  nodev, nodev,
                     nodev,       nodev,   nodev,        nodev,  nodev, nochpoll,
                     ddi_prop_op, nullptr, D_MP | D_NEW, CB_REV, nodev, nodev};
dev_ops toy_ops = {DEVO_REV,   0,     toy_getinfo, toy_identify, toy_probe, toy_attach,
                   toy_detach, nodev, &toy_cb_ops, nullptr,      nullptr};
modldrv toy_modldrv = {&mod_driverops, "toy serial driver", &toy_ops};
modlinkage toy_modlinkage = {MODREV_1, {&toy_modldrv, nullptr}};
char toy_depends_on[] = "misc/scsi";

int toy_init() {
  record("_init");
  if (!g_toy.install) {
    return g_toy.init_result;
  }
  const int rc = mod_install(&toy_modlinkage);
  return rc != 0 ? rc : g_toy.init_result;
}

int toy_info(modinfo* mip) {
  return mod_info(&toy_modlinkage, mip);
}

int toy_fini() {
  record("_fini");
  if (g_toy.fini_refuses) {
    return EBUSY;
  }
  return mod_remove(&toy_modlinkage);
}

kemu::ModuleImage toy_image() {
  return {"toy", toy_init, toy_info, toy_fini, toy_depends_on};
}

// ---- Fixture -------------------------------------------------------------------------------

class DdiLoader : public ::testing::Test {
protected:
  void SetUp() override {
    g_toy = {};
    g_log.clear();
    g_all_in_user_context = true;
    ddi_.register_misc("misc/scsi");
  }
  void TearDown() override { EXPECT_TRUE(g_all_in_user_context); }

  // A pseudo child (instance 0) and one child per adapter (target 2).
  void configure() {
    auto err = ddi_.load_conf("toy", "toy.conf",
                              "allow_unload=1;\n"
                              "name=\"toy\" parent=\"pseudo\" instance=0;\n"
                              "name=\"toy\" class=\"scsi\" target=2 lun=0;\n");
    ASSERT_FALSE(err) << err->text();
  }

  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const auto& m : ddi_.minor_nodes()) {
      out.push_back(m.name);
    }
    return out;
  }

  kemu::Kernel kernel_;
  Ddi ddi_{TreeSpec{.adapters = TreeSpec::adapter_names(2)}};
};

TEST_F(DdiLoader, LoadAttachUnloadInOrder) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0) << ddi_.last_error();
  EXPECT_TRUE(ddi_.loaded("toy"));
  EXPECT_TRUE(ddi_.module_known("drv/toy"));
  auto nodes = ddi_.nodes_of("toy");
  ASSERT_EQ(nodes.size(), 3u);
  // The caller picks the order: the second adapter's child first.
  std::vector<dev_info_t*> order = {nodes[2], nodes[0], nodes[1]};
  EXPECT_EQ(ddi_.attach_all(order),
            (std::vector<Attach>{Attach::kAttached, Attach::kAttached, Attach::kAttached}));
  EXPECT_EQ(ddi_.attach(nodes[0]), Attach::kAlreadyAttached);
  // Attached nodes keep their configuration file.
  auto err = ddi_.load_conf("toy", "toy.conf", "allow_unload=0;");
  ASSERT_TRUE(err);
  EXPECT_EQ(err->text(),
            "toy.conf: cannot replace the configuration of toy: instance 0 is attached");
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, nodes[1], 0, "allow_unload", 0), 1);
  for (dev_info_t* n : nodes) {
    EXPECT_TRUE(ddi_.attached(n));
    EXPECT_TRUE(ddi_.reported(n));
  }
  ASSERT_EQ(ddi_.unload("toy"), 0) << ddi_.last_error();
  EXPECT_EQ(g_log,
            (std::vector<std::string>{"_init", "identify 2", "probe 2", "attach 2", "identify 0",
                                      "probe 0", "attach 0", "identify 1", "probe 1", "attach 1",
                                      "detach 2", "detach 0", "detach 1", "_fini"}));
  EXPECT_FALSE(ddi_.loaded("toy"));
  EXPECT_FALSE(ddi_.major_of("toy"));
  for (dev_info_t* n : nodes) {
    EXPECT_FALSE(ddi_.attached(n));
  }
  EXPECT_TRUE(ddi_.minor_nodes().empty());
}

TEST_F(DdiLoader, AttachMayBlock) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  g_toy.attach_delay = hz / 2;
  const clock_t before = kernel_.lbolt();
  EXPECT_EQ(ddi_.attach(ddi_.nodes_of("toy")[0]), Attach::kAttached);
  EXPECT_EQ(kernel_.lbolt() - before, hz / 2);
}

// A refusal at one step stops that node only.
TEST_F(DdiLoader, RefusalStopsTheNode) {
  struct Case {
    const char* what;
    ToyBehaviour toy;
    Attach want;
    std::vector<std::string> log;
  };
  ToyBehaviour no_identify;
  no_identify.identify = false;
  ToyBehaviour probe_fails;
  probe_fails.probe = DDI_PROBE_FAILURE;
  ToyBehaviour probe_dontcare;
  probe_dontcare.probe = DDI_PROBE_DONTCARE;
  ToyBehaviour attach_fails;
  attach_fails.attach = false;
  const Case cases[] = {
      {"identify", no_identify, Attach::kNotIdentified, {"identify 0"}},
      {"probe", probe_fails, Attach::kProbeFailed, {"identify 0", "probe 0"}},
      {"dontcare", probe_dontcare, Attach::kAttached, {"identify 0", "probe 0", "attach 0"}},
      {"attach", attach_fails, Attach::kAttachFailed, {"identify 0", "probe 0", "attach 0"}},
  };
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  dev_info_t* node = ddi_.nodes_of("toy")[0];
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_toy = c.toy;
    g_log.clear();
    EXPECT_EQ(ddi_.attach(node), c.want);
    EXPECT_EQ(g_log, c.log);
    EXPECT_EQ(ddi_.attached(node), c.want == Attach::kAttached);
    if (ddi_.attached(node)) {
      ASSERT_EQ(ddi_.detach(node), DDI_SUCCESS);
    }
  }
  // The other nodes still attach.
  g_toy = {};
  EXPECT_EQ(ddi_.attach(ddi_.nodes_of("toy")[1]), Attach::kAttached);
}

TEST_F(DdiLoader, RefusedDetachKeepsTheModule) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  auto nodes = ddi_.nodes_of("toy");
  ddi_.attach_all("toy");
  const major_t major = *ddi_.major_of("toy");
  g_toy.refuse_detach_of = {1};
  g_log.clear();
  EXPECT_EQ(ddi_.unload("toy"), EBUSY);
  EXPECT_NE(ddi_.last_error().find("instance 1"), std::string::npos) << ddi_.last_error();
  EXPECT_EQ(g_log, (std::vector<std::string>{"detach 0", "detach 1"}));
  EXPECT_TRUE(ddi_.loaded("toy"));
  EXPECT_EQ(ddi_.major_of("toy"), major);
  EXPECT_FALSE(ddi_.attached(nodes[0]));
  EXPECT_TRUE(ddi_.attached(nodes[1]));
  EXPECT_EQ(names(), (std::vector<std::string>{"toy1", "toy1,cu", "toy2", "toy2,cu"}));

  // The next attempt detaches only what is still attached.
  g_toy.refuse_detach_of.clear();
  g_log.clear();
  EXPECT_EQ(ddi_.unload("toy"), 0);
  EXPECT_EQ(g_log, (std::vector<std::string>{"detach 1", "detach 2", "_fini"}));
  EXPECT_FALSE(ddi_.loaded("toy"));
}

// Opens wait from the first detach to the end of _fini, also after an unload was refused.
TEST_F(DdiLoader, OpensWaitForTheWholeUnloadAfterARefusedOne) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  ddi_.attach_all("toy");
  const dev_t dev = ddi_.find_minor("toy1")->dev;
  g_toy.refuse_detach_of = {1};
  ASSERT_EQ(ddi_.unload("toy"), EBUSY);
  g_toy.refuse_detach_of.clear();
  g_log.clear();
  int opened = -1;
  // Ready before the unload's first detach, so it tries the gate first.
  auto opener = kernel_.spawn([&] {
    kemu::StreamFile f;
    opened = kemu::open_device(dev, FREAD | FWRITE, nullptr, f);
    record("open");
  });
  EXPECT_EQ(ddi_.unload("toy"), 0);
  EXPECT_TRUE(opener->join());
  EXPECT_EQ(g_log, (std::vector<std::string>{"detach 1", "detach 2", "_fini", "open"}));
  EXPECT_EQ(opened, ENXIO) << "the driver had gone";
}

TEST_F(DdiLoader, FiniRefusalKeepsTheModule) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  dev_info_t* node = ddi_.nodes_of("toy")[0];
  ASSERT_EQ(ddi_.attach(node), Attach::kAttached);
  g_toy.fini_refuses = true;
  EXPECT_EQ(ddi_.unload("toy"), EBUSY);
  EXPECT_TRUE(ddi_.loaded("toy"));
  EXPECT_FALSE(ddi_.attached(node));
  // Reattached, then unloaded for good.
  g_toy.fini_refuses = false;
  ASSERT_EQ(ddi_.attach(node), Attach::kAttached);
  g_log.clear();
  ASSERT_EQ(ddi_.unload("toy"), 0);
  EXPECT_EQ(g_log, (std::vector<std::string>{"detach 0", "_fini"}));
  EXPECT_EQ(ddi_.unload("toy"), ENOENT);
}

TEST_F(DdiLoader, DependenciesAndInstallFaults) {
  ddi_.unregister_misc("misc/scsi");
  EXPECT_EQ(ddi_.load(toy_image()), ENOENT);
  EXPECT_NE(ddi_.last_error().find("misc/scsi"), std::string::npos) << ddi_.last_error();
  EXPECT_TRUE(g_log.empty()) << "_init ran without its dependency";
  EXPECT_FALSE(ddi_.loaded("toy"));

  ddi_.register_misc("misc/scsi");
  g_toy.install = false;
  EXPECT_EQ(ddi_.load(toy_image()), EINVAL);
  EXPECT_FALSE(ddi_.loaded("toy"));

  g_toy = {};
  g_toy.init_result = ENOMEM; // installs, then fails
  EXPECT_EQ(ddi_.load(toy_image()), ENOMEM);
  EXPECT_FALSE(ddi_.loaded("toy"));
  EXPECT_FALSE(ddi_.module_known("drv/toy"));

  g_toy = {};
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  EXPECT_EQ(ddi_.load(toy_image()), EEXIST);
  // Outside a load or an unload the linkage calls refuse.
  EXPECT_EQ(mod_install(&toy_modlinkage), EINVAL);
  EXPECT_EQ(mod_remove(&toy_modlinkage), EINVAL);
}

TEST_F(DdiLoader, MalformedLinkageRefused) {
  static dev_ops bad_rev = toy_ops;
  bad_rev.devo_rev = 2;
  static modldrv bad_drv = {&mod_driverops, "bad", &bad_rev};
  static modlinkage bad_ml = {MODREV_1, {&bad_drv, nullptr}};
  static modlinkage empty_ml = {MODREV_1, {nullptr}};
  static modlinkage old_ml = {0, {&toy_modldrv, nullptr}};
  static modlinkage* pick = nullptr;
  const kemu::ModuleImage image{"bad", [] { return mod_install(pick); }, nullptr, nullptr, nullptr};
  for (modlinkage* ml : {&bad_ml, &empty_ml, &old_ml}) {
    pick = ml;
    EXPECT_EQ(ddi_.load(image), EINVAL);
    EXPECT_FALSE(ddi_.loaded("bad"));
  }
}

TEST_F(DdiLoader, InfoAndGetinfo) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  const major_t major = *ddi_.major_of("toy");
  EXPECT_GT(major, 0u);
  modinfo mi;
  ASSERT_NE(ddi_.info("toy", &mi), 0);
  EXPECT_EQ(mi.mi_rev, MODREV_1);
  EXPECT_STREQ(mi.mi_name, "toy");
  EXPECT_STREQ(mi.mi_msinfo[0].msi_linkinfo, "toy serial driver");
  EXPECT_EQ(mi.mi_msinfo[0].msi_p0, static_cast<int>(major));

  dev_info_t* node = ddi_.nodes_of("toy")[1];
  ASSERT_EQ(ddi_.attach(node), Attach::kAttached);
  void* result = nullptr;
  EXPECT_EQ(ddi_.getinfo(makedevice(major, 0x20001), DDI_INFO_DEVT2DEVINFO, &result), DDI_SUCCESS);
  EXPECT_EQ(result, node);
  EXPECT_EQ(ddi_.getinfo(makedevice(major, 0x20001), DDI_INFO_DEVT2INSTANCE, &result), DDI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(result), 1u);
  EXPECT_EQ(ddi_.getinfo(makedevice(major + 1, 1), DDI_INFO_DEVT2INSTANCE, &result), DDI_FAILURE);

  EXPECT_EQ(ddi_.devops_of(major), &toy_ops);
  EXPECT_EQ(ddi_.streamtab_of(major), nullptr); // the toy is no STREAMS driver

  // A reload after an unload gets the lowest free major again.
  ASSERT_EQ(ddi_.unload("toy"), 0);
  EXPECT_EQ(ddi_.devops_of(major), nullptr);
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  EXPECT_EQ(ddi_.major_of("toy"), major);
}

// ---- Minor nodes ---------------------------------------------------------------------------

TEST_F(DdiLoader, MinorNodeRegistry) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  const major_t major = *ddi_.major_of("toy");
  auto nodes = ddi_.nodes_of("toy");
  ASSERT_EQ(ddi_.attach(nodes[1]), Attach::kAttached);
  ASSERT_EQ(ddi_.attach(nodes[0]), Attach::kAttached);
  auto all = ddi_.minor_nodes();
  ASSERT_EQ(all.size(), 4u);
  const std::string want_names[] = {"toy1", "toy1,cu", "toy0", "toy0,cu"};
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].name, want_names[i]);
    EXPECT_EQ(all[i].spec_type, S_IFCHR);
    EXPECT_EQ(getmajor(all[i].dev), major);
  }
  EXPECT_EQ(getminor(all[1].dev), 0x20001u);
  EXPECT_EQ(all[1].node_type, "ddi_serial:dialout");
  EXPECT_EQ(all[0].node_type, "ddi_serial");
  EXPECT_EQ(all[0].dip, nodes[1]);
  EXPECT_EQ(all[0].instance, 1);

  EXPECT_EQ(ddi_.find_minor("toy0,cu")->dev, makedevice(major, 0x20000));
  EXPECT_EQ(ddi_.find_minor(makedevice(major, 1))->name, "toy1");
  EXPECT_FALSE(ddi_.find_minor(makedevice(major, 1), S_IFBLK));
}

TEST_F(DdiLoader, MinorNodeRefusals) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  dev_info_t* n = ddi_.nodes_of("toy")[0];
  ASSERT_EQ(ddi_create_minor_node(n, "qmxdiag", S_IFCHR, 0xffff, DDI_PSEUDO, 0), DDI_SUCCESS);
  struct Case {
    const char* what;
    dev_info_t* dip;
    const char* name;
    int spec;
    minor_t minor;
  };
  dev_info_t* foreign = ddi_.add_node(ddi_.pseudo(), "nodriver");
  const Case cases[] = {
      {"same name", n, "qmxdiag", S_IFCHR, 1}, {"same device number", n, "other", S_IFCHR, 0xffff},
      {"empty name", n, "", S_IFCHR, 1},       {"slash in name", n, "a/b", S_IFCHR, 1},
      {"dot-dot", n, "..", S_IFCHR, 1},        {"minor too wide", n, "wide", S_IFCHR, MAXMIN + 1},
      {"bad spec type", n, "dir", S_IFDIR, 1}, {"no driver", foreign, "x", S_IFCHR, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ddi_create_minor_node(c.dip, c.name, c.spec, c.minor, DDI_PSEUDO, 0), DDI_FAILURE);
  }
  EXPECT_EQ(ddi_.minor_nodes().size(), 1u);
  // The same minor as a block node is another device.
  EXPECT_EQ(ddi_create_minor_node(n, "blk", S_IFBLK, 0xffff, DDI_PSEUDO, 0), DDI_SUCCESS);
}

TEST_F(DdiLoader, MinorNodeFailureInjection) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  dev_info_t* n = ddi_.nodes_of("toy")[0];
  ddi_.fail_minor_node_nth(3);
  std::vector<int> got;
  for (int i = 0; i < 4; ++i) {
    // Not "n" + std::to_string(i), which trips GCC 12's -Wrestrict at -O3.
    const std::string name = std::string("n").append(std::to_string(i));
    got.push_back(ddi_create_minor_node(n, name.c_str(), S_IFCHR, 100 + i, DDI_PSEUDO, 0));
  }
  EXPECT_EQ(got, (std::vector<int>{DDI_SUCCESS, DDI_SUCCESS, DDI_FAILURE, DDI_SUCCESS}));
  EXPECT_EQ(names(), (std::vector<std::string>{"n0", "n1", "n3"}));

  // A failure in the driver's attach: the driver removes its nodes and the attach fails.
  dev_info_t* other = ddi_.nodes_of("toy")[1];
  ddi_.fail_minor_node_nth(2);
  EXPECT_EQ(ddi_.attach(other), Attach::kAttachFailed);
  EXPECT_FALSE(ddi_.find_minor("toy1"));
  EXPECT_EQ(ddi_.attach(other), Attach::kAttached);
  EXPECT_TRUE(ddi_.find_minor("toy1,cu"));

  ddi_.fail_minor_node_nth(1);
  ddi_.clear_minor_node_faults();
  EXPECT_EQ(ddi_create_minor_node(n, "n9", S_IFCHR, 109, DDI_PSEUDO, 0), DDI_SUCCESS);
}

TEST_F(DdiLoader, MinorNodeRemoval) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  auto nodes = ddi_.nodes_of("toy");
  ddi_.attach_all("toy");
  ASSERT_EQ(names(),
            (std::vector<std::string>{"toy0", "toy0,cu", "toy1", "toy1,cu", "toy2", "toy2,cu"}));
  ddi_remove_minor_node(nodes[1], "toy1,cu");
  ddi_remove_minor_node(nodes[1], "toy2"); // not this node's: stays
  ddi_remove_minor_node(nodes[1], "absent");
  EXPECT_EQ(names(), (std::vector<std::string>{"toy0", "toy0,cu", "toy1", "toy2", "toy2,cu"}));
  ddi_remove_minor_node(nodes[2], nullptr);
  EXPECT_EQ(names(), (std::vector<std::string>{"toy0", "toy0,cu", "toy1"}));
  // A removed name can be made again.
  EXPECT_EQ(ddi_create_minor_node(nodes[2], "toy2", S_IFCHR, 2, DDI_NT_SERIAL, 0), DDI_SUCCESS);
}

TEST_F(DdiLoader, UnloadDropsNodesLeftBehind) {
  configure();
  ASSERT_EQ(ddi_.load(toy_image()), 0);
  dev_info_t* n = ddi_.nodes_of("toy")[0];
  // Made outside any attach and never removed by the driver.
  ASSERT_EQ(ddi_create_minor_node(n, "stray", S_IFCHR, 7, DDI_PSEUDO, 0), DDI_SUCCESS);
  ASSERT_EQ(ddi_.unload("toy"), 0);
  EXPECT_FALSE(ddi_.find_minor("stray"));
}

} // namespace
