// Node properties: what drivers read with ddi_getprop and ddi_prop_op, and what tests set.
#include <cstring>

#include "ddi_impl.h"

namespace kemu {

using ddi_detail::Prop;

Prop ddi_detail::make_int_prop(std::string_view name, int value) {
  Prop p;
  p.name = std::string(name);
  p.kind = Prop::Kind::kInt;
  p.value.resize(sizeof value);
  std::memcpy(p.value.data(), &value, sizeof value);
  return p;
}

Prop ddi_detail::make_string_prop(std::string_view name, std::string_view text) {
  Prop p;
  p.name = std::string(name);
  p.kind = Prop::Kind::kString;
  p.value.assign(text.begin(), text.end());
  p.value.push_back(0);
  return p;
}

void ddi_detail::put_prop(std::vector<Prop>& props, Prop p) {
  for (auto& q : props) {
    if (q.name == p.name) {
      q = std::move(p);
      return;
    }
  }
  props.push_back(std::move(p));
}

const Prop* ddi_detail::find_in(const std::vector<Prop>& props, std::string_view name) {
  for (const auto& p : props) {
    if (p.name == name) {
      return &p;
    }
  }
  return nullptr;
}

// A node's own properties first, then its driver's conf globals; then, unless DONTPASS,
// the same for each parent up to the root.
const Prop* Ddi::Impl::lookup(dev_info* dip, std::string_view name, int flags) {
  for (dev_info* n = dip; n != nullptr; n = n->parent) {
    if (const Prop* p = ddi_detail::find_in(n->props, name)) {
      return p;
    }
    if (auto g = globals.find(n->name); g != globals.end()) {
      if (const Prop* p = ddi_detail::find_in(g->second, name)) {
        return p;
      }
    }
    if ((flags & DDI_PROP_DONTPASS) != 0) {
      break;
    }
  }
  return nullptr;
}

void Ddi::set_prop(dev_info_t* dip, std::string_view name, int value) {
  std::lock_guard lk(impl_->mu);
  ddi_detail::put_prop(dip->props, ddi_detail::make_int_prop(name, value));
}

void Ddi::set_prop(dev_info_t* dip, std::string_view name, std::string_view text) {
  std::lock_guard lk(impl_->mu);
  ddi_detail::put_prop(dip->props, ddi_detail::make_string_prop(name, text));
}

void Ddi::set_prop_bytes(dev_info_t* dip, std::string_view name, std::span<const std::uint8_t> v) {
  std::lock_guard lk(impl_->mu);
  Prop p;
  p.name = std::string(name);
  p.value.assign(v.begin(), v.end());
  ddi_detail::put_prop(dip->props, std::move(p));
}

void Ddi::remove_prop(dev_info_t* dip, std::string_view name) {
  std::lock_guard lk(impl_->mu);
  std::erase_if(dip->props, [&](const Prop& p) { return p.name == name; });
}

} // namespace kemu

int ddi_getprop(dev_t /*dev*/, dev_info_t* dip, int flags, const char* name, int defvalue) {
  if (dip == nullptr || name == nullptr) {
    return defvalue;
  }
  auto& impl = kemu::ddi_detail::live();
  std::lock_guard lk(impl.mu);
  const kemu::ddi_detail::Prop* p = impl.lookup(dip, name, flags);
  if (p == nullptr) {
    return defvalue;
  }
  if (p->value.empty()) {
    return 1; // a property that is there without a value: a flag that is set
  }
  if (p->kind == kemu::ddi_detail::Prop::Kind::kString || p->value.size() != sizeof(int)) {
    return defvalue;
  }
  int v = 0;
  std::memcpy(&v, p->value.data(), sizeof v);
  return v;
}

// Properties here do not depend on the device number: every dev matches.
int ddi_prop_op(dev_t /*dev*/, dev_info_t* dip, ddi_prop_op_t prop_op, int flags, const char* name,
                caddr_t valuep, int* lengthp) {
  if (dip == nullptr || name == nullptr || lengthp == nullptr) {
    return DDI_PROP_INVAL_ARG;
  }
  if (prop_op != PROP_LEN && prop_op != PROP_LEN_AND_VAL_BUF) {
    return DDI_PROP_INVAL_ARG;
  }
  auto& impl = kemu::ddi_detail::live();
  std::lock_guard lk(impl.mu);
  const kemu::ddi_detail::Prop* p = impl.lookup(dip, name, flags);
  if (p == nullptr) {
    return DDI_PROP_NOT_FOUND;
  }
  const int len = static_cast<int>(p->value.size());
  if (prop_op == PROP_LEN) {
    *lengthp = len;
    return DDI_PROP_SUCCESS;
  }
  const int room = *lengthp;
  *lengthp = len;
  if (room < len) {
    return DDI_PROP_BUF_TOO_SMALL;
  }
  if (len > 0) {
    if (valuep == nullptr) {
      return DDI_PROP_INVAL_ARG;
    }
    std::memcpy(valuep, p->value.data(), p->value.size());
  }
  return DDI_PROP_SUCCESS;
}
