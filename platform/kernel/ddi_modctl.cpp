// Module linkage: mod_install, mod_remove and mod_info, and the registry of known modules.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ddi_impl.h"

mod_ops mod_driverops{"driver"};
mod_ops mod_miscops{"misc"};

namespace kemu {

using ddi_detail::Module;

Module* Ddi::Impl::module(std::string_view driver) {
  for (auto& m : modules) {
    if (m->image.name == driver) {
      return m.get();
    }
  }
  return nullptr;
}

Module* Ddi::Impl::module_by_major(major_t major) {
  for (auto& m : modules) {
    if (m->installed && m->major == major) {
      return m.get();
    }
  }
  return nullptr;
}

void Ddi::register_misc(std::string_view name) {
  std::lock_guard lk(impl_->mu);
  impl_->misc_modules.emplace(name);
}

void Ddi::unregister_misc(std::string_view name) {
  std::lock_guard lk(impl_->mu);
  if (auto it = impl_->misc_modules.find(name); it != impl_->misc_modules.end()) {
    impl_->misc_modules.erase(it);
  }
}

bool Ddi::Impl::known(std::string_view name) {
  if (misc_modules.contains(name)) {
    return true;
  }
  constexpr std::string_view drv = "drv/";
  if (name.starts_with(drv)) {
    const Module* m = module(name.substr(drv.size()));
    return m != nullptr && m->installed;
  }
  return false;
}

bool Ddi::module_known(std::string_view name) const {
  std::lock_guard lk(impl_->mu);
  return impl_->known(name);
}

bool Ddi::loaded(std::string_view driver) const {
  std::lock_guard lk(impl_->mu);
  const Module* m = impl_->module(driver);
  return m != nullptr && m->installed;
}

std::optional<major_t> Ddi::major_of(std::string_view driver) const {
  std::lock_guard lk(impl_->mu);
  const Module* m = impl_->module(driver);
  if (m == nullptr || !m->installed) {
    return std::nullopt;
  }
  return m->major;
}

dev_ops* Ddi::devops_of(major_t major) const {
  std::lock_guard lk(impl_->mu);
  const Module* m = impl_->module_by_major(major);
  return m != nullptr ? m->ops : nullptr;
}

streamtab* Ddi::streamtab_of(major_t major) const {
  std::lock_guard lk(impl_->mu);
  const Module* m = impl_->module_by_major(major);
  if (m == nullptr || m->ops == nullptr || m->ops->devo_cb_ops == nullptr) {
    return nullptr;
  }
  return m->ops->devo_cb_ops->cb_str;
}

} // namespace kemu

namespace {

using kemu::ddi_detail::Module;

// The linkage entries up to the ending null.
std::vector<void*> linkages(modlinkage* ml) {
  std::vector<void*> out;
  for (void* l : ml->ml_linkage) {
    if (l == nullptr) {
      break;
    }
    out.push_back(l);
  }
  return out;
}

mod_ops* ops_of(void* linkage) {
  return *static_cast<mod_ops**>(linkage);
}

void copy_text(char* dst, std::size_t size, const char* src) {
  std::snprintf(dst, size, "%s", src != nullptr ? src : "");
}

} // namespace

int mod_install(modlinkage* linkage) {
  auto& impl = kemu::ddi_detail::live();
  std::lock_guard lk(impl.mu);
  Module* m = impl.installing;
  if (m == nullptr) {
    return EINVAL; // only a module being loaded installs itself
  }
  if (m->installed) {
    return EEXIST;
  }
  if (linkage == nullptr || linkage->ml_rev != MODREV_1) {
    return EINVAL;
  }
  const std::vector<void*> ls = linkages(linkage);
  if (ls.empty()) {
    return EINVAL;
  }
  dev_ops* ops = nullptr;
  bool misc = false;
  for (void* l : ls) {
    mod_ops* kind = ops_of(l);
    if (kind == &mod_driverops) {
      auto* drv = static_cast<modldrv*>(l);
      if (ops != nullptr || drv->drv_dev_ops == nullptr || drv->drv_dev_ops->devo_rev != DEVO_REV) {
        return EINVAL;
      }
      ops = drv->drv_dev_ops;
    } else if (kind == &mod_miscops) {
      misc = true;
    } else {
      return EINVAL;
    }
  }
  if (ops != nullptr) {
    // The lowest major not in use; 0 stays unused so that no device number is 0.
    major_t major = 1;
    while (impl.module_by_major(major) != nullptr) {
      ++major;
    }
    m->major = major;
  }
  if (misc) {
    impl.misc_modules.insert("misc/" + m->image.name);
  }
  m->ops = ops;
  m->linkage = linkage;
  m->installed = true;
  return 0;
}

int mod_remove(modlinkage* linkage) {
  auto& impl = kemu::ddi_detail::live();
  std::lock_guard lk(impl.mu);
  Module* m = impl.removing;
  if (m == nullptr || !m->installed || linkage != m->linkage) {
    return EINVAL;
  }
  if (!m->attached.empty()) {
    return EBUSY;
  }
  for (void* l : linkages(linkage)) {
    if (ops_of(l) == &mod_miscops) {
      impl.misc_modules.erase("misc/" + m->image.name);
    }
  }
  m->installed = false;
  return 0;
}

int mod_info(modlinkage* linkage, modinfo* mip) {
  if (linkage == nullptr || mip == nullptr || linkage->ml_rev != MODREV_1) {
    return 0;
  }
  auto& impl = kemu::ddi_detail::live();
  std::lock_guard lk(impl.mu);
  std::memset(mip, 0, sizeof *mip);
  mip->mi_rev = linkage->ml_rev;
  const Module* owner = nullptr;
  for (const auto& m : impl.modules) {
    if (m->linkage == linkage) {
      owner = m.get();
    }
  }
  if (owner != nullptr) {
    mip->mi_id = owner->id;
    copy_text(mip->mi_name, sizeof mip->mi_name, owner->image.name.c_str());
  }
  const std::vector<void*> ls = linkages(linkage);
  for (std::size_t i = 0; i < ls.size(); ++i) {
    modspecific_info& msi = mip->mi_msinfo[i];
    msi.msi_p0 = -1;
    if (ops_of(ls[i]) == &mod_driverops) {
      copy_text(msi.msi_linkinfo, sizeof msi.msi_linkinfo,
                static_cast<modldrv*>(ls[i])->drv_linkinfo);
      if (owner != nullptr && owner->installed) {
        msi.msi_p0 = static_cast<int>(owner->major);
      }
    } else if (ops_of(ls[i]) == &mod_miscops) {
      copy_text(msi.msi_linkinfo, sizeof msi.msi_linkinfo,
                static_cast<modlmisc*>(ls[i])->misc_linkinfo);
    } else {
      return 0;
    }
  }
  return 1;
}
