// Internals of the device layer shared by its source files.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kemu/ddi.h"
#include "ksys/mutex.h"

namespace kemu::ddi_detail {

struct Prop {
  enum class Kind { kInt, kString, kBytes };
  std::string name;
  Kind kind = Kind::kBytes;
  std::vector<std::uint8_t> value;
};

Prop make_int_prop(std::string_view name, int value);
Prop make_string_prop(std::string_view name, std::string_view text);
// Replaces a property of the same name or appends.
void put_prop(std::vector<Prop>& props, Prop p);
const Prop* find_in(const std::vector<Prop>& props, std::string_view name);

enum class NodeKind { kRoot, kNexus, kAdapter, kLeaf };

struct Module {
  ModuleImage image;
  int id = 0; // load sequence number
  modlinkage* linkage = nullptr;
  dev_ops* ops = nullptr;
  major_t major = 0;
  bool installed = false;
  std::vector<dev_info_t*> attached; // in attach order
  int detaching = 0; // while non-zero, opens of the driver's nodes wait (guarded by Impl::mu)
};

} // namespace kemu::ddi_detail

struct dev_info {
  std::string name;
  int instance = -1;
  kemu::ddi_detail::NodeKind kind = kemu::ddi_detail::NodeKind::kLeaf;
  dev_info* parent = nullptr;
  std::vector<std::unique_ptr<dev_info>> children;
  std::vector<kemu::ddi_detail::Prop> props;
  void* driver_private = nullptr;
  void* transport = nullptr; // adapters: the SCSI layer's record
  bool attached = false;
  bool reported = false;
  std::string conf_driver; // the driver whose conf file made this node
  std::uint64_t seq = 0;   // creation order
};

struct kemu::Ddi::Impl {
  // Guards everything below against readers on other threads (qdhost); never held while
  // a driver entry point runs.
  mutable std::mutex mu;

  std::unique_ptr<dev_info> root;
  dev_info* pseudo = nullptr;
  std::uint64_t next_seq = 0;

  // Global properties of each driver's conf file.
  std::map<std::string, std::vector<ddi_detail::Prop>, std::less<>> globals;

  std::vector<MinorNode> minors;
  long fail_minor_countdown = 0; // 0: no fault armed

  std::set<std::string, std::less<>> misc_modules;
  std::vector<std::unique_ptr<ddi_detail::Module>> modules;
  int next_module_id = 1;
  ddi_detail::Module* installing = nullptr; // during its _init
  ddi_detail::Module* removing = nullptr;   // during its _fini
  std::string last_error;

  // Opens of a driver's nodes wait here while the driver detaches, as a device framework
  // holds them off; kernel contexts only.
  kmutex_t open_gate_mu{};
  kcondvar_t open_gate_cv{};

  // ---- helpers (caller holds mu) ----
  dev_info* new_node(dev_info* parent, std::string_view name, ddi_detail::NodeKind kind,
                     int instance);
  void remove_node(dev_info* node);
  void walk(const std::function<void(dev_info*)>& fn);
  std::vector<dev_info*> nodes_named(std::string_view name);
  int next_instance(std::string_view name, const std::set<int>& reserved = {});
  ddi_detail::Module* module(std::string_view driver);
  bool known(std::string_view module_name); // misc, or "drv/<installed driver>"
  ddi_detail::Module* module_by_major(major_t major);
  const ddi_detail::Prop* lookup(dev_info* dip, std::string_view name, int flags);
};

namespace kemu::ddi_detail {
// The live device layer, for the driver-facing calls.
Ddi::Impl& live();
// Waits while the driver serving `major` detaches. Called in a kernel context by an open,
// before it looks the driver up (one that has gone is then not found: ENXIO).
void pass_open_gate(Ddi::Impl& impl, major_t major);
} // namespace kemu::ddi_detail
