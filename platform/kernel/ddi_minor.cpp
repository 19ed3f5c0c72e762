// Minor nodes: the registry of device nodes that drivers create and qdhost serves.
#include <algorithm>
#include <cstring>

#include "ddi_impl.h"

namespace kemu {

std::vector<MinorNode> Ddi::minor_nodes() const {
  std::lock_guard lk(impl_->mu);
  return impl_->minors;
}

std::optional<MinorNode> Ddi::find_minor(std::string_view name) const {
  std::lock_guard lk(impl_->mu);
  for (const auto& m : impl_->minors) {
    if (m.name == name) {
      return m;
    }
  }
  return std::nullopt;
}

std::optional<MinorNode> Ddi::find_minor(dev_t dev, int spec_type) const {
  std::lock_guard lk(impl_->mu);
  for (const auto& m : impl_->minors) {
    if (m.dev == dev && m.spec_type == spec_type) {
      return m;
    }
  }
  return std::nullopt;
}

void Ddi::fail_minor_node_nth(long n) {
  std::lock_guard lk(impl_->mu);
  impl_->fail_minor_countdown = n > 0 ? n : 0;
}

void Ddi::clear_minor_node_faults() {
  fail_minor_node_nth(0);
}

} // namespace kemu

int ddi_create_minor_node(dev_info_t* dip, const char* name, int spec_type, minor_t minor_num,
                          const char* node_type, int flag) {
  auto& impl = kemu::ddi_detail::live();
  std::lock_guard lk(impl.mu);
  if (impl.fail_minor_countdown > 0 && --impl.fail_minor_countdown == 0) {
    return DDI_FAILURE;
  }
  if (dip == nullptr || name == nullptr || node_type == nullptr) {
    return DDI_FAILURE;
  }
  // Names become file names of the device directory.
  const std::string_view nm(name);
  if (nm.empty() || nm.find('/') != std::string_view::npos || nm == "." || nm == "..") {
    return DDI_FAILURE;
  }
  if ((spec_type != S_IFCHR && spec_type != S_IFBLK) || minor_num > MAXMIN) {
    return DDI_FAILURE;
  }
  kemu::ddi_detail::Module* mod = impl.module(dip->name);
  if (mod == nullptr || !mod->installed) {
    return DDI_FAILURE;
  }
  const dev_t dev = makedevice(mod->major, minor_num);
  for (const auto& m : impl.minors) {
    if (m.name == nm || (m.dev == dev && m.spec_type == spec_type)) {
      return DDI_FAILURE;
    }
  }
  impl.minors.push_back(
      kemu::MinorNode{std::string(nm), dev, spec_type, node_type, flag, dip, dip->instance});
  return DDI_SUCCESS;
}

void ddi_remove_minor_node(dev_info_t* dip, const char* name) {
  auto& impl = kemu::ddi_detail::live();
  std::lock_guard lk(impl.mu);
  std::erase_if(impl.minors, [&](const kemu::MinorNode& m) {
    return m.dip == dip && (name == nullptr || m.name == name);
  });
}
