// The module loader: a driver's _init, then identify, probe and attach per node; detach of
// every instance and _fini to unload. Every entry point runs in a kernel call.
#include <algorithm>
#include <cerrno>
#include <sstream>

#include "ddi_impl.h"
#include "kemu/kernel.h"

namespace kemu {

using ddi_detail::Module;

namespace {

// Runs one driver entry point as a user context of the kernel (it may block). An entry
// point the kernel had to unwind (stuck for good) counts as the given refusal.
template <typename F> int in_kernel(F&& entry, int refusal) {
  int rc = refusal;
  if (!Kernel::current().call([&] { rc = entry(); })) {
    return refusal;
  }
  return rc;
}

// Opens of the module's nodes wait from the first detach until the unload has ended.
void hold_opens(Ddi::Impl& impl, Module* m) {
  std::lock_guard lk(impl.mu);
  ++m->detaching;
}

// m may be null: the module has gone, and the waiting opens find that out.
void release_opens(Ddi::Impl& impl, Module* m) {
  {
    std::lock_guard lk(impl.mu);
    if (m != nullptr) {
      --m->detaching;
    }
  }
  in_kernel(
      [&] {
        mutex_enter(&impl.open_gate_mu);
        cv_broadcast(&impl.open_gate_cv);
        mutex_exit(&impl.open_gate_mu);
        return 0;
      },
      0);
}

void drop_module(Ddi::Impl& impl, Module* m) {
  std::erase_if(impl.minors, [&](const MinorNode& mn) { return getmajor(mn.dev) == m->major; });
  std::erase_if(impl.modules, [m](const std::unique_ptr<Module>& p) { return p.get() == m; });
}

} // namespace

int Ddi::load(const ModuleImage& image) {
  Module* m = nullptr;
  {
    std::lock_guard lk(impl_->mu);
    if (impl_->module(image.name) != nullptr) {
      impl_->last_error = image.name + ": already loaded";
      return EEXIST;
    }
    if (image.init == nullptr) {
      impl_->last_error = image.name + ": no _init";
      return EINVAL;
    }
    std::istringstream deps(image.depends_on != nullptr ? image.depends_on : "");
    for (std::string dep; deps >> dep;) {
      if (!impl_->known(dep)) {
        impl_->last_error = image.name + ": depends on " + dep + ", which is not loaded";
        return ENOENT;
      }
    }
    auto owned = std::make_unique<Module>();
    owned->image = image;
    owned->id = impl_->next_module_id++;
    m = owned.get();
    impl_->modules.push_back(std::move(owned));
    impl_->installing = m;
  }

  const int rc = in_kernel([&] { return image.init(); }, EIO);

  std::lock_guard lk(impl_->mu);
  impl_->installing = nullptr;
  if (rc != 0 || !m->installed) {
    impl_->last_error = rc != 0 ? image.name + ": _init returned " + std::to_string(rc)
                                : image.name + ": _init did not install the module";
    drop_module(*impl_, m);
    return rc != 0 ? rc : EINVAL;
  }
  impl_->last_error.clear();
  return 0;
}

int Ddi::info(std::string_view driver, modinfo* mip) {
  int (*entry)(modinfo*) = nullptr;
  {
    std::lock_guard lk(impl_->mu);
    const Module* m = impl_->module(driver);
    if (m == nullptr || !m->installed || m->image.info == nullptr) {
      return 0;
    }
    entry = m->image.info;
  }
  return in_kernel([&] { return entry(mip); }, 0);
}

Attach Ddi::attach(dev_info_t* dip) {
  dev_ops* ops = nullptr;
  Module* m = nullptr;
  {
    std::lock_guard lk(impl_->mu);
    if (dip->attached) {
      return Attach::kAlreadyAttached;
    }
    m = impl_->module(dip->name);
    if (m == nullptr || !m->installed) {
      return Attach::kNoDriver;
    }
    ops = m->ops;
  }
  if (ops->devo_identify != nullptr &&
      in_kernel([&] { return ops->devo_identify(dip); }, DDI_NOT_IDENTIFIED) != DDI_IDENTIFIED) {
    return Attach::kNotIdentified;
  }
  if (ops->devo_probe != nullptr) {
    const int rc = in_kernel([&] { return ops->devo_probe(dip); }, DDI_PROBE_FAILURE);
    if (rc != DDI_PROBE_SUCCESS && rc != DDI_PROBE_DONTCARE && rc != DDI_PROBE_PARTIAL) {
      return Attach::kProbeFailed;
    }
  }
  if (ops->devo_attach == nullptr ||
      in_kernel([&] { return ops->devo_attach(dip, DDI_ATTACH); }, DDI_FAILURE) != DDI_SUCCESS) {
    return Attach::kAttachFailed;
  }
  std::lock_guard lk(impl_->mu);
  dip->attached = true;
  m->attached.push_back(dip);
  return Attach::kAttached;
}

std::vector<Attach> Ddi::attach_all(std::string_view driver) {
  const std::vector<dev_info_t*> nodes = nodes_of(driver);
  return attach_all(nodes);
}

std::vector<Attach> Ddi::attach_all(std::span<dev_info_t* const> order) {
  std::vector<Attach> out;
  out.reserve(order.size());
  for (dev_info_t* dip : order) {
    out.push_back(attach(dip));
  }
  return out;
}

int Ddi::detach(dev_info_t* dip) {
  dev_ops* ops = nullptr;
  Module* m = nullptr;
  {
    std::lock_guard lk(impl_->mu);
    m = impl_->module(dip->name);
    if (!dip->attached || m == nullptr) {
      return DDI_FAILURE;
    }
    ops = m->ops;
  }
  hold_opens(*impl_, m);
  const bool detached =
      ops->devo_detach != nullptr &&
      in_kernel([&] { return ops->devo_detach(dip, DDI_DETACH); }, DDI_FAILURE) == DDI_SUCCESS;
  if (detached) {
    std::lock_guard lk(impl_->mu);
    dip->attached = false;
    std::erase(m->attached, dip);
  }
  release_opens(*impl_, m);
  return detached ? DDI_SUCCESS : DDI_FAILURE;
}

int Ddi::unload(std::string_view driver) {
  Module* m = nullptr;
  std::vector<dev_info_t*> instances;
  {
    std::lock_guard lk(impl_->mu);
    m = impl_->module(driver);
    if (m == nullptr || !m->installed) {
      impl_->last_error = std::string(driver) + ": not loaded";
      return ENOENT;
    }
    instances = m->attached;
  }
  // From the first detach to the end of _fini, opens of the driver's nodes wait; once the
  // module has gone they fail.
  hold_opens(*impl_, m);
  for (dev_info_t* dip : instances) {
    if (detach(dip) != DDI_SUCCESS) {
      {
        std::lock_guard lk(impl_->mu);
        impl_->last_error = std::string(driver) + ": detach of instance " +
                            std::to_string(dip->instance) + " refused";
      }
      release_opens(*impl_, m);
      return EBUSY;
    }
  }
  if (m->image.fini == nullptr) {
    {
      std::lock_guard lk(impl_->mu);
      impl_->last_error = std::string(driver) + ": no _fini, cannot unload";
    }
    release_opens(*impl_, m);
    return EBUSY;
  }
  {
    std::lock_guard lk(impl_->mu);
    impl_->removing = m;
  }
  const int rc = in_kernel([&] { return m->image.fini(); }, EBUSY);

  std::unique_lock lk(impl_->mu);
  impl_->removing = nullptr;
  if (m->installed) {
    impl_->last_error = rc != 0 ? std::string(driver) + ": _fini returned " + std::to_string(rc)
                                : std::string(driver) + ": _fini did not remove the module";
    lk.unlock();
    release_opens(*impl_, m);
    return rc != 0 ? rc : EINVAL;
  }
  // Removed, whatever _fini made of mod_remove's result.
  drop_module(*impl_, m);
  impl_->last_error.clear();
  lk.unlock();
  release_opens(*impl_, nullptr);
  return 0;
}

std::string Ddi::last_error() const {
  std::lock_guard lk(impl_->mu);
  return impl_->last_error;
}

int Ddi::getinfo(dev_t dev, ddi_info_cmd_t cmd, void** result) {
  dev_ops* ops = nullptr;
  dev_info_t* owner = nullptr;
  {
    std::lock_guard lk(impl_->mu);
    const Module* m = impl_->module_by_major(getmajor(dev));
    if (m == nullptr || m->ops->devo_getinfo == nullptr) {
      return DDI_FAILURE;
    }
    ops = m->ops;
    for (const auto& mn : impl_->minors) {
      if (mn.dev == dev) {
        owner = mn.dip;
        break;
      }
    }
  }
  return in_kernel(
      [&] {
        return ops->devo_getinfo(owner, cmd, reinterpret_cast<void*>(static_cast<uintptr_t>(dev)),
                                 result);
      },
      DDI_FAILURE);
}

} // namespace kemu

namespace kemu::ddi_detail {

void pass_open_gate(Ddi::Impl& impl, major_t major) {
  const auto held = [&] {
    std::lock_guard lk(impl.mu);
    const Module* m = impl.module_by_major(major);
    return m != nullptr && m->detaching > 0;
  };
  mutex_enter(&impl.open_gate_mu);
  while (held()) {
    cv_wait(&impl.open_gate_cv, &impl.open_gate_mu);
  }
  mutex_exit(&impl.open_gate_mu);
}

} // namespace kemu::ddi_detail
