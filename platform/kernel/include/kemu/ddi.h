// The emulated kernel's device layer as tests, the emulated hardware and qdhost drive it:
// the device tree and how it is built, driver.conf files, the minor node registry, the
// device switch, and the module loader that runs a driver's _init, identify, probe, attach,
// detach and _fini. The driver never includes this; it uses ksys/ddi.h and ksys/modctl.h.
//
// One Ddi lives at a time; the driver-facing calls (ddi_root_node, ddi_prop_op, ...) act on
// it. The loader runs every driver entry point inside kemu::Kernel::current().call(), so a
// Kernel must exist for loading; the loader must be used from outside any kernel context.
// Building the tree, properties, conf files and the registry need no Kernel.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kemu/driver_conf.h"
#include "ksys/ddi.h"
#include "ksys/devops.h"
#include "ksys/modctl.h"

namespace kemu {

// The adapters' node name unless a test names them otherwise.
inline constexpr std::string_view kAdapterName = "emhba";
inline constexpr std::string_view kPseudoName = "pseudo";
inline constexpr std::string_view kRootName = "root";

// A 36-byte termios record with ordinary terminal defaults (9600 baud, 8 bits, canonical
// input with echo), as the root node's "ttymodes" carries it unless told otherwise.
std::vector<std::uint8_t> default_ttymodes();

struct TreeSpec {
  // One SCSI host bus adapter node per entry, children of the root in this order; each
  // entry is the adapter's node name (instances are numbered per name).
  std::vector<std::string> adapters = {std::string(kAdapterName)};
  bool pseudo = true; // the "pseudo" nexus
  // The root node's "ttymodes" property: any length, or none at all.
  std::optional<std::vector<std::uint8_t>> ttymodes = default_ttymodes();

  // n adapters with the default name.
  static std::vector<std::string> adapter_names(int n) {
    return std::vector<std::string>(static_cast<std::size_t>(n), std::string(kAdapterName));
  }
};

// A device node of the registry.
struct MinorNode {
  std::string name;
  dev_t dev; // the driver's major, the minor given
  int spec_type;
  std::string node_type;
  int flag;
  dev_info_t* dip; // the owning instance's node
  int instance;
};

// What the loader is handed for one driver module: its _init, _info and _fini (C++
// linkage) and its _depends_on text.
struct ModuleImage {
  std::string name; // the driver's name: its nodes are bound by it ("qd")
  int (*init)();
  int (*info)(modinfo* mip);
  int (*fini)();
  const char* depends_on; // space separated, e.g. "misc/scsi"; null: none
};

// Where configuring a node stopped.
enum class Attach {
  kAttached,
  kNotIdentified,
  kProbeFailed,
  kAttachFailed,
  kAlreadyAttached,
  kNoDriver, // the node's driver is not loaded
};
const char* attach_name(Attach a);

class Ddi {
public:
  explicit Ddi(const TreeSpec& spec = {});
  ~Ddi();
  Ddi(const Ddi&) = delete;
  Ddi& operator=(const Ddi&) = delete;

  static Ddi& current(); // aborts when none lives
  static bool exists();

  // ---- The tree ------------------------------------------------------------------------
  dev_info_t* root();
  dev_info_t* pseudo();                // null when the tree has none
  std::vector<dev_info_t*> adapters(); // in creation order
  dev_info_t* add_adapter(std::string_view name = kAdapterName);
  // A node of one's own under any node (instance -1: the next free one for that name).
  dev_info_t* add_node(dev_info_t* parent, std::string_view name, int instance = -1);
  std::vector<dev_info_t*> children(dev_info_t* dip);
  // Nodes bound by a driver's name, in creation order.
  std::vector<dev_info_t*> nodes_of(std::string_view driver);
  bool is_adapter(dev_info_t* dip) const;
  // The adapter a node sits under (its parent), or null when the parent is no adapter.
  dev_info_t* adapter_of(dev_info_t* dip);
  // The adapter's transport record, owned by the SCSI layer.
  void set_transport(dev_info_t* adapter, void* tran);
  void* transport(dev_info_t* adapter) const;
  bool attached(dev_info_t* dip) const;
  bool reported(dev_info_t* dip) const; // ddi_report_dev was called

  // ---- Properties of a node (its own ones) ---------------------------------------------
  void set_prop(dev_info_t* dip, std::string_view name, int value);
  void set_prop(dev_info_t* dip, std::string_view name, std::string_view text); // adds a NUL
  void set_prop_bytes(dev_info_t* dip, std::string_view name, std::span<const std::uint8_t> v);
  void remove_prop(dev_info_t* dip, std::string_view name);

  // ---- driver.conf ---------------------------------------------------------------------
  // Reads a driver's configuration file (file names it in errors). Global properties
  // become properties of every node of the driver; node entries make nodes. Nothing is
  // applied when the text is refused. A later file for the same driver replaces the
  // earlier one's globals and nodes, unless one of those nodes is attached (refused).
  std::optional<ConfError> load_conf(std::string_view driver, std::string_view file,
                                     std::string_view text);

  // ---- Minor nodes ---------------------------------------------------------------------
  std::vector<MinorNode> minor_nodes() const; // in creation order
  std::optional<MinorNode> find_minor(std::string_view name) const;
  std::optional<MinorNode> find_minor(dev_t dev, int spec_type = S_IFCHR) const;
  // The nth ddi_create_minor_node call from now (1: the next) fails.
  void fail_minor_node_nth(long n);
  void clear_minor_node_faults();

  // ---- Modules -------------------------------------------------------------------------
  // Known "misc/..." modules that drivers may depend on (the SCSI layer registers
  // "misc/scsi").
  void register_misc(std::string_view name);
  void unregister_misc(std::string_view name);
  bool module_known(std::string_view name) const; // misc, or "drv/<loaded driver>"

  // Checks the dependencies, runs _init (which must mod_install). 0 or an errno
  // (EEXIST loaded already, ENOENT a dependency is missing, EINVAL no mod_install, or
  // _init's own result); last_error() tells why.
  int load(const ModuleImage& image);
  bool loaded(std::string_view driver) const;
  std::optional<major_t> major_of(std::string_view driver) const;
  // Runs _info; its result.
  int info(std::string_view driver, modinfo* mip);

  // identify, probe, attach(DDI_ATTACH) for one node, each in a kernel call; a refusal
  // stops that node.
  Attach attach(dev_info_t* dip);
  // Every node of the driver, in creation order or in the order given.
  std::vector<Attach> attach_all(std::string_view driver);
  std::vector<Attach> attach_all(std::span<dev_info_t* const> order);
  // detach(DDI_DETACH) of one attached node: DDI_SUCCESS or DDI_FAILURE.
  int detach(dev_info_t* dip);
  // Detaches every attached instance (in attach order), then runs _fini. 0 when the module
  // is gone; EBUSY when a detach refused (the module stays, the instances detached so far
  // stay detached); _fini's refusal; ENOENT when not loaded.
  int unload(std::string_view driver);
  std::string last_error() const;

  // ---- Device switch -------------------------------------------------------------------
  dev_ops* devops_of(major_t major) const;
  streamtab* streamtab_of(major_t major) const;
  // Runs the driver's getinfo for a device number (its node is the minor node's owner).
  int getinfo(dev_t dev, ddi_info_cmd_t cmd, void** result);

  struct Impl;
  Impl& impl() { return *impl_; }

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace kemu
