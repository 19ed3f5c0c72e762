// Applying a driver's configuration file to the tree: globals onto the driver's nodes,
// node entries into nodes. The whole file is checked before anything changes.
#include <algorithm>

#include "ddi_impl.h"

namespace kemu {

using ddi_detail::NodeKind;
using ddi_detail::Prop;

namespace {

// Properties that steer where a node goes rather than describe it.
bool is_placement(std::string_view name) {
  return name == "name" || name == "parent" || name == "class" || name == "instance";
}

Prop to_prop(const ConfProp& cp) {
  return cp.value.is_string ? ddi_detail::make_string_prop(cp.name, cp.value.text)
                            : ddi_detail::make_int_prop(cp.name, cp.value.number);
}

// Appended rather than "\"" + std::string(s): GCC 12 at -O3 takes the insert at the front
// for an overlapping copy (-Wrestrict).
std::string quoted(std::string_view s) {
  std::string q;
  q.reserve(s.size() + 2);
  q += '"';
  q += s;
  q += '"';
  return q;
}

// One node to make.
struct PlannedNode {
  dev_info* parent;
  int instance; // -1: assign
  const ConfEntry* entry;
};

} // namespace

std::optional<ConfError> Ddi::load_conf(std::string_view driver, std::string_view file,
                                        std::string_view text) {
  ConfFile parsed = parse_driver_conf(file, text);
  if (parsed.error) {
    return parsed.error;
  }
  auto error = [&](int line, std::string reason) {
    return std::optional<ConfError>(ConfError{std::string(file), line, std::move(reason)});
  };

  std::lock_guard lk(impl_->mu);

  // Nodes of an earlier file of this driver go away with it.
  std::vector<dev_info*> replaced;
  for (dev_info* n : impl_->nodes_named(driver)) {
    if (n->conf_driver == driver) {
      if (n->attached) {
        return error(0, "cannot replace the configuration of " + std::string(driver) +
                            ": instance " + std::to_string(n->instance) + " is attached");
      }
      replaced.push_back(n);
    }
  }
  auto is_replaced = [&](dev_info* n) {
    return std::find(replaced.begin(), replaced.end(), n) != replaced.end();
  };

  std::vector<Prop> globals;
  std::map<std::string, int, std::less<>> global_line;
  std::vector<PlannedNode> plan;

  for (const ConfEntry& e : parsed.entries) {
    if (!e.is_node()) {
      for (const ConfProp& cp : e.props) {
        if (auto it = global_line.find(cp.name); it != global_line.end()) {
          return error(cp.line,
                       "'" + cp.name + "' already set at line " + std::to_string(it->second));
        }
        global_line.emplace(cp.name, cp.line);
        globals.push_back(to_prop(cp));
      }
      continue;
    }

    const ConfProp* name = e.find("name");
    const ConfProp* parent = e.find("parent");
    const ConfProp* cls = e.find("class");
    const ConfProp* inst = e.find("instance");
    if (!name->value.is_string) {
      return error(name->line, "'name' must be a string");
    }
    if (name->value.text != driver) {
      return error(name->line, "node name " + quoted(name->value.text) + " is not the driver " +
                                   quoted(driver));
    }
    if (parent != nullptr && cls != nullptr) {
      return error(e.line, "node entry gives both 'parent' and 'class'");
    }
    if (parent == nullptr && cls == nullptr) {
      return error(e.line, "node entry needs 'parent' or 'class'");
    }
    int instance = -1;
    if (inst != nullptr) {
      if (inst->value.is_string || inst->value.number < 0) {
        return error(inst->line, "'instance' must be a non-negative integer");
      }
      instance = inst->value.number;
    }

    std::vector<dev_info*> parents;
    if (parent != nullptr) {
      if (!parent->value.is_string) {
        return error(parent->line, "'parent' must be a string");
      }
      for (dev_info* n : impl_->nodes_named(parent->value.text)) {
        if (n->kind != NodeKind::kLeaf) {
          parents.push_back(n);
        }
      }
      if (parents.empty()) {
        return error(parent->line, "unknown parent " + quoted(parent->value.text));
      }
    } else {
      if (!cls->value.is_string || cls->value.text != "scsi") {
        return error(cls->line,
                     "unknown class " + (cls->value.is_string ? quoted(cls->value.text)
                                                              : std::to_string(cls->value.number)));
      }
      for (const char* key : {"target", "lun"}) {
        const ConfProp* p = e.find(key);
        if (p == nullptr) {
          return error(e.line, std::string("scsi node entry needs '") + key + "'");
        }
        if (p->value.is_string || p->value.number < 0) {
          return error(p->line, std::string("'") + key + "' must be a non-negative integer");
        }
      }
      impl_->walk([&](dev_info* n) {
        if (n->kind == NodeKind::kAdapter) {
          parents.push_back(n);
        }
      });
      std::sort(parents.begin(), parents.end(),
                [](dev_info* a, dev_info* b) { return a->seq < b->seq; });
    }
    if (instance >= 0 && parents.size() > 1) {
      return error(inst->line, "instance " + std::to_string(instance) + " would be given to " +
                                   std::to_string(parents.size()) + " nodes");
    }
    for (dev_info* p : parents) {
      plan.push_back({p, instance, &e});
    }
  }

  // Explicit instance numbers must be unique among the driver's nodes that stay.
  std::set<int> reserved;
  for (dev_info* n : impl_->nodes_named(driver)) {
    if (!is_replaced(n)) {
      reserved.insert(n->instance);
    }
  }
  for (const PlannedNode& pn : plan) {
    if (pn.instance < 0) {
      continue;
    }
    if (!reserved.insert(pn.instance).second) {
      return error(pn.entry->find("instance")->line,
                   "instance " + std::to_string(pn.instance) + " already used");
    }
  }

  // Checked: apply.
  for (dev_info* n : replaced) {
    std::erase_if(impl_->minors, [n](const MinorNode& m) { return m.dip == n; });
    impl_->remove_node(n);
  }
  impl_->globals[std::string(driver)] = std::move(globals);
  for (const PlannedNode& pn : plan) {
    int instance = pn.instance;
    if (instance < 0) {
      instance = impl_->next_instance(driver, reserved);
      reserved.insert(instance);
    }
    dev_info* node = impl_->new_node(pn.parent, driver, NodeKind::kLeaf, instance);
    node->conf_driver = std::string(driver);
    for (const ConfProp& cp : pn.entry->props) {
      if (!is_placement(cp.name)) {
        ddi_detail::put_prop(node->props, to_prop(cp));
      }
    }
  }
  return std::nullopt;
}

} // namespace kemu
