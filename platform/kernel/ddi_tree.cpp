// The device tree: how it is built, walked and read.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ddi_impl.h"
#include "ksys/termios.h"

namespace kemu {

using ddi_detail::NodeKind;

namespace {

Ddi* g_live = nullptr;

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "kemu ddi: %s\n", what);
  std::abort();
}

} // namespace

Ddi::Impl& ddi_detail::live() {
  if (g_live == nullptr) {
    fatal("no device layer (kemu::Ddi) lives");
  }
  return g_live->impl();
}

std::vector<std::uint8_t> default_ttymodes() {
  termios t{};
  t.c_iflag = BRKINT | ICRNL | IXON;
  t.c_oflag = 0x5; // OPOST | ONLCR
  t.c_cflag = B9600 | CS8 | CREAD | HUPCL;
  t.c_lflag = 0x8a3b; // ISIG ICANON ECHO ECHOE ECHOK ECHOCTL ECHOKE IEXTEN
  const cc_t cc[NCCS] = {0x03, 0x1c, 0x7f, 0x15, 0x04, 0,    0, 0, 0x11, 0x13,
                         0x1a, 0x19, 0x12, 0x0f, 0x17, 0x16, 0, 0, 0};
  std::memcpy(t.c_cc, cc, sizeof cc);
  std::vector<std::uint8_t> out(sizeof t);
  std::memcpy(out.data(), &t, sizeof t);
  return out;
}

const char* attach_name(Attach a) {
  switch (a) {
  case Attach::kAttached:
    return "attached";
  case Attach::kNotIdentified:
    return "not identified";
  case Attach::kProbeFailed:
    return "probe failed";
  case Attach::kAttachFailed:
    return "attach failed";
  case Attach::kAlreadyAttached:
    return "already attached";
  case Attach::kNoDriver:
    return "driver not loaded";
  }
  return "?";
}

// ---- Impl helpers ------------------------------------------------------------------------

dev_info* Ddi::Impl::new_node(dev_info* parent, std::string_view name, NodeKind kind,
                              int instance) {
  auto node = std::make_unique<dev_info>();
  node->name = std::string(name);
  node->kind = kind;
  node->parent = parent;
  node->instance = instance >= 0 ? instance : next_instance(name);
  node->seq = next_seq++;
  dev_info* raw = node.get();
  parent->children.push_back(std::move(node));
  return raw;
}

void Ddi::Impl::remove_node(dev_info* node) {
  auto& sib = node->parent->children;
  std::erase_if(sib, [node](const std::unique_ptr<dev_info>& c) { return c.get() == node; });
}

void Ddi::Impl::walk(const std::function<void(dev_info*)>& fn) {
  std::function<void(dev_info*)> rec = [&](dev_info* n) {
    fn(n);
    for (auto& c : n->children) {
      rec(c.get());
    }
  };
  rec(root.get());
}

std::vector<dev_info*> Ddi::Impl::nodes_named(std::string_view name) {
  std::vector<dev_info*> out;
  walk([&](dev_info* n) {
    if (n->name == name) {
      out.push_back(n);
    }
  });
  std::sort(out.begin(), out.end(), [](dev_info* a, dev_info* b) { return a->seq < b->seq; });
  return out;
}

int Ddi::Impl::next_instance(std::string_view name, const std::set<int>& reserved) {
  std::set<int> used = reserved;
  for (dev_info* n : nodes_named(name)) {
    used.insert(n->instance);
  }
  int i = 0;
  while (used.contains(i)) {
    ++i;
  }
  return i;
}

// ---- Ddi: life --------------------------------------------------------------------------

Ddi::Ddi(const TreeSpec& spec) : impl_(std::make_unique<Impl>()) {
  if (g_live != nullptr) {
    fatal("a second kemu::Ddi while one lives");
  }
  auto root = std::make_unique<dev_info>();
  root->name = std::string(kRootName);
  root->kind = NodeKind::kRoot;
  root->instance = 0;
  root->seq = impl_->next_seq++;
  impl_->root = std::move(root);
  if (spec.ttymodes) {
    ddi_detail::Prop p;
    p.name = "ttymodes";
    p.value = *spec.ttymodes;
    ddi_detail::put_prop(impl_->root->props, std::move(p));
  }
  if (spec.pseudo) {
    impl_->pseudo = impl_->new_node(impl_->root.get(), kPseudoName, NodeKind::kNexus, -1);
  }
  for (const auto& name : spec.adapters) {
    impl_->new_node(impl_->root.get(), name, NodeKind::kAdapter, -1);
  }
  g_live = this;
}

Ddi::~Ddi() {
  g_live = nullptr;
}

Ddi& Ddi::current() {
  if (g_live == nullptr) {
    fatal("no device layer (kemu::Ddi) lives");
  }
  return *g_live;
}

bool Ddi::exists() {
  return g_live != nullptr;
}

// ---- Ddi: the tree ----------------------------------------------------------------------

dev_info_t* Ddi::root() {
  return impl_->root.get();
}
dev_info_t* Ddi::pseudo() {
  return impl_->pseudo;
}

std::vector<dev_info_t*> Ddi::adapters() {
  std::lock_guard lk(impl_->mu);
  std::vector<dev_info_t*> out;
  impl_->walk([&](dev_info* n) {
    if (n->kind == NodeKind::kAdapter) {
      out.push_back(n);
    }
  });
  std::sort(out.begin(), out.end(), [](dev_info* a, dev_info* b) { return a->seq < b->seq; });
  return out;
}

dev_info_t* Ddi::add_adapter(std::string_view name) {
  std::lock_guard lk(impl_->mu);
  return impl_->new_node(impl_->root.get(), name, NodeKind::kAdapter, -1);
}

dev_info_t* Ddi::add_node(dev_info_t* parent, std::string_view name, int instance) {
  std::lock_guard lk(impl_->mu);
  return impl_->new_node(parent, name, NodeKind::kLeaf, instance);
}

std::vector<dev_info_t*> Ddi::children(dev_info_t* dip) {
  std::lock_guard lk(impl_->mu);
  std::vector<dev_info_t*> out;
  for (auto& c : dip->children) {
    out.push_back(c.get());
  }
  return out;
}

std::vector<dev_info_t*> Ddi::nodes_of(std::string_view driver) {
  std::lock_guard lk(impl_->mu);
  return impl_->nodes_named(driver);
}

bool Ddi::is_adapter(dev_info_t* dip) const {
  return dip->kind == NodeKind::kAdapter;
}

dev_info_t* Ddi::adapter_of(dev_info_t* dip) {
  dev_info* p = dip->parent;
  return p != nullptr && p->kind == NodeKind::kAdapter ? p : nullptr;
}

void Ddi::set_transport(dev_info_t* adapter, void* tran) {
  adapter->transport = tran;
}
void* Ddi::transport(dev_info_t* adapter) const {
  return adapter->transport;
}
bool Ddi::attached(dev_info_t* dip) const {
  return dip->attached;
}
bool Ddi::reported(dev_info_t* dip) const {
  return dip->reported;
}

} // namespace kemu

// ---- What drivers call --------------------------------------------------------------------

const char* ddi_get_name(dev_info_t* dip) {
  return dip->name.c_str();
}
const char* ddi_node_name(dev_info_t* dip) {
  return dip->name.c_str();
}
dev_info_t* ddi_get_parent(dev_info_t* dip) {
  return dip->parent;
}
dev_info_t* ddi_root_node() {
  return kemu::ddi_detail::live().root.get();
}
int ddi_get_instance(dev_info_t* dip) {
  return dip->instance;
}
void* ddi_get_driver_private(dev_info_t* dip) {
  return dip->driver_private;
}
void ddi_set_driver_private(dev_info_t* dip, void* data) {
  dip->driver_private = data;
}
void ddi_report_dev(dev_info_t* dip) {
  dip->reported = true;
}
