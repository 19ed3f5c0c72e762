// Building what qdhost serves: the files read and checked first, then the emulated units
// and their far ends, then the qd driver loaded and attached; and taking it all down.
#include "qdhost/system_setup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <variant>

#include "kemu/driver_conf.h"
#include "kemu/hba.h"
#include "kemu/streams.h"
#include "ksys/types.h"
#include "qd_image.h"
#include "qdemu/scsi_topology.h"
#include "qdhost/file_far_end.h"
#include "qdhost/loop_driver.h"
#include "qdhost/pty_far_end.h"
#include "qdhost/topology_file.h"
#include "qmx_unittab.h"

namespace qdhost {

namespace {

constexpr const char kDriver[] = "qd";
constexpr minor_t kLanvaraUnitNode = 0x100ff; // unit n's node: this | n << 8
constexpr int kLanvaraUnits = 256;
constexpr minor_t kLanvaraBit = 0x10000;
constexpr minor_t kDialoutBit = 0x20000;

std::optional<std::string> read_file(const std::string& path, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string directory_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string hex(unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%02x", v);
  return b;
}

// "0-3,7" for a sorted list of ports.
std::string ranges(const std::vector<unsigned>& lines) {
  std::string s;
  for (std::size_t i = 0; i < lines.size();) {
    std::size_t j = i;
    while (j + 1 < lines.size() && lines[j + 1] == lines[j] + 1) {
      ++j;
    }
    s += (s.empty() ? "" : ",") + std::to_string(lines[i]);
    if (j > i) {
      s += "-" + std::to_string(lines[j]);
    }
    i = j + 1;
  }
  return s;
}

// An integer global of a driver.conf text (the last one given), when present.
std::optional<std::int32_t> conf_integer(const kemu::ConfFile& conf, std::string_view name) {
  std::optional<std::int32_t> v;
  for (const kemu::ConfEntry& e : conf.entries) {
    if (e.is_node()) {
      continue;
    }
    if (const kemu::ConfProp* p = e.find(name); p != nullptr && !p->value.is_string) {
      v = p->value.number;
    }
  }
  return v;
}

} // namespace

std::string default_conf_path() {
  return std::string(QD_DEFAULT_ETC) + "/qd.conf";
}

std::string default_topology_path() {
  return std::string(QD_DEFAULT_ETC) + "/topology";
}

struct PtyPort {
  const QmxSetup* unit;
  unsigned line;
  std::shared_ptr<PtyFarEnd> pty;
  std::string link; // made by publish
};

struct HostSystem::Impl {
  Impl(kemu::Kernel& k, kemu::Ddi& d, HostConfig c) : kernel(k), ddi(d), cfg(std::move(c)) {}

  kemu::Kernel& kernel;
  kemu::Ddi& ddi;
  HostConfig cfg;
  std::string conf_path, topology_path;
  Topology topology;
  bool allow_unload = false;
  std::vector<std::string> conf_notes;
  std::optional<kemu::Scsa> scsa;
  std::optional<qdemu::ScsiTopology> units;
  std::vector<dev_info_t*> adapter_nodes; // by adapter number
  std::vector<PtyPort> ptys;
  std::map<std::pair<const QmxSetup*, unsigned>, std::shared_ptr<FileFarEnd>> files;
  std::vector<std::string> attach_notes;
  bool loop = false;
  bool loaded = false;
  bool down = false;

  int fail(int err, std::string text, std::string* why) {
    *why = std::move(text);
    return err;
  }

  // Port nodes of the unit at an address: line -> name (dial-in nodes only).
  std::map<unsigned, std::string> port_nodes(int adapter, int target) const {
    std::map<unsigned, std::string> names;
    if (adapter >= static_cast<int>(adapter_nodes.size())) {
      return names;
    }
    dev_info_t* hba = adapter_nodes[static_cast<std::size_t>(adapter)];
    for (const kemu::MinorNode& n : ddi.minor_nodes()) {
      const minor_t m = getminor(n.dev);
      if ((m & (kLanvaraBit | kDialoutBit)) != 0 || m == 0xffff ||
          static_cast<int>((m >> 8) & 0xf) != target || ddi.adapter_of(n.dip) != hba) {
        continue;
      }
      names[m & 0xff] = n.name;
    }
    return names;
  }

  int read_inputs(std::string* why, std::string& conf_text) {
    conf_path = cfg.conf.empty() ? default_conf_path() : cfg.conf;
    topology_path = cfg.topology.empty() ? default_topology_path() : cfg.topology;
    auto conf = read_file(conf_path, why);
    if (!conf) {
      return ENOENT;
    }
    auto topo_text = read_file(topology_path, why);
    if (!topo_text) {
      return ENOENT;
    }
    kemu::ConfFile parsed = kemu::parse_driver_conf(conf_path, *conf);
    if (parsed.error) {
      return fail(EINVAL, parsed.error->text(), why);
    }
    auto topo = parse_topology(topology_path, *topo_text);
    if (auto* err = std::get_if<TopologyError>(&topo)) {
      return fail(EINVAL, err->text(), why);
    }
    topology = std::move(std::get<Topology>(topo));
    allow_unload = conf_integer(parsed, "allow_unload").value_or(0) != 0;
    std::string globals;
    for (const char* name : {"forceload", "allow_unload"}) {
      globals +=
          std::string(" ") + name + "=" + std::to_string(conf_integer(parsed, name).value_or(0));
    }
    conf_notes.push_back("qd.conf " + conf_path + ":" + globals);
    for (const kemu::ConfEntry& e : parsed.entries) {
      for (const kemu::ConfProp& p : e.props) {
        if (!e.is_node() && p.value.is_string && p.name.starts_with("vrn")) {
          conf_notes.push_back("Lanvara entry " + p.name + "=\"" + p.value.text + "\"");
        }
      }
    }
    conf_notes.push_back("topology " + topology_path);
    conf_text = std::move(*conf);
    return 0;
  }

  // The far ends that need the host: made before the units, so that a failure leaves
  // nothing built.
  int open_far_ends(std::string* why) {
    const std::string base = directory_of(topology_path);
    for (const QmxSetup& u : topology.units) {
      for (const auto& [line, p] : u.ports) {
        if (p.kind == PortSetup::Kind::pty) {
          auto pty = PtyFarEnd::open(
              [&k = kernel](std::function<void()> fn) { k.interrupt(std::move(fn)); }, why);
          if (!pty) {
            return EIO;
          }
          ptys.push_back({&u, line, std::move(pty), {}});
        } else if (p.kind == PortSetup::Kind::file) {
          std::string path = p.path.starts_with("/") ? p.path : base + "/" + p.path;
          auto f = FileFarEnd::open(path, why);
          if (!f) {
            *why = topology_path + ":" + std::to_string(p.line_no) + ": " + *why;
            return EIO;
          }
          files[{&u, line}] = std::move(f);
        }
      }
    }
    return 0;
  }

  std::shared_ptr<PtyFarEnd> pty_of(const QmxSetup& u, unsigned line) const {
    for (const PtyPort& p : ptys) {
      if (p.unit == &u && p.line == line) {
        return p.pty;
      }
    }
    return nullptr;
  }

  // Runs in a kernel context: nothing else touches the units meanwhile.
  void build_units() {
    for (const QmxSetup& u : topology.units) {
      qdemu::QmxSpec spec;
      spec.unit.model = u.model;
      spec.unit.vendor = u.vendor;
      spec.unit.firmware = u.firmware;
      spec.unit.product = u.product;
      spec.unit.pods = u.pods;
      spec.unit.engine.redundant = u.redundant;
      qdemu::QmxUnit& unit = units->add_qmx(u.adapter, u.target, std::move(spec));
      for (const auto& [line, p] : u.ports) {
        switch (p.kind) {
        case PortSetup::Kind::loopback:
          unit.plug_loopback(line, {.wire_signals = p.wired});
          break;
        case PortSetup::Kind::pty:
          unit.attach(line, pty_of(u, line));
          break;
        case PortSetup::Kind::file:
          unit.attach(line, files.at({&u, line}));
          break;
        case PortSetup::Kind::none:
          break;
        }
        if (p.paced) {
          unit.engine().set_line_pacing(line, true);
        }
        if (p.kind != PortSetup::Kind::loopback || !p.wired) {
          unit.engine().set_carrier(line, carrier_of(u, p));
          unit.engine().set_dsr(line, dsr_of(u, p));
          unit.engine().set_cts(line, cts_of(u, p));
        }
      }
      // Ports no line names: nothing plugged in, the unit's defaults.
      const PortSetup bare;
      for (unsigned line = 0; line < unit.engine().line_count(); ++line) {
        if (!u.ports.contains(line) && unit.engine().has_port(line)) {
          unit.engine().set_carrier(line, carrier_of(u, bare));
          unit.engine().set_dsr(line, dsr_of(u, bare));
          unit.engine().set_cts(line, cts_of(u, bare));
        }
      }
    }
    for (const DeviceSetup& d : topology.devices) {
      units->add_device(d.adapter, d.target,
                        {.device_type = d.type,
                         .vendor = d.vendor,
                         .product = d.product,
                         .revision = d.revision});
    }
  }

  int bring_up(std::string* why) {
    if (cfg.test_loop) {
      loop = true;
      return loop::install(ddi, why);
    }
    std::string conf_text;
    if (int err = read_inputs(why, conf_text); err != 0) {
      return err;
    }
    if (int err = open_far_ends(why); err != 0) {
      return err;
    }
    scsa.emplace();
    units.emplace(kernel, *scsa);
    std::string build_error;
    bool built = kernel.call([&] {
      try {
        build_units();
      } catch (const std::exception& e) {
        build_error = e.what();
      }
    });
    if (!built || !build_error.empty()) {
      return fail(EINVAL, topology_path + ": " + (built ? build_error : "the kernel stopped"), why);
    }
    for (kemu::Hba* hba : scsa->adapters()) {
      adapter_nodes.push_back(hba->dip());
    }
    for (const char* m : kUnitNodeModules) {
      kemu::register_passthru_module(m);
    }
    if (auto err = ddi.load_conf(kDriver, conf_path, conf_text + units->conf_nodes(kDriver))) {
      return fail(EINVAL, err->text(), why);
    }
    scsa->configure();
    if (int err = ddi.load(qd_module_image()); err != 0) {
      return fail(err, "qd driver not loaded: " + ddi.last_error(), why);
    }
    loaded = true;
    const major_t major = *ddi.major_of(kDriver);
    for (int n = 0; n < kLanvaraUnits; ++n) {
      const minor_t m = kLanvaraUnitNode | static_cast<minor_t>(n) << 8;
      kemu::set_autopush(
          major, m, m,
          std::vector<std::string>(std::begin(kUnitNodeModules), std::end(kUnitNodeModules)));
    }
    std::vector<dev_info_t*> nodes = ddi.nodes_of(kDriver);
    std::vector<kemu::Attach> results = ddi.attach_all(kDriver);
    for (std::size_t i = 0; i < nodes.size() && i < results.size(); ++i) {
      if (results[i] != kemu::Attach::kAttached && ddi.adapter_of(nodes[i]) == nullptr) {
        attach_notes.push_back(std::string("pseudo instance: ") + kemu::attach_name(results[i]));
      }
    }
    for (PtyPort& p : ptys) {
      p.pty->start();
    }
    return 0;
  }

  std::vector<std::string> summary() const {
    if (loop) {
      return {"loopback driver (--test-loop)"};
    }
    std::vector<std::string> out = conf_notes;
    out.insert(out.end(), attach_notes.begin(), attach_notes.end());
    for (const QmxSetup& u : topology.units) {
      const std::string at = std::to_string(u.adapter) + ":" + std::to_string(u.target);
      std::string head = "qmx " + at + " " + u.model + " " + u.firmware;
      if ((qdm_get_unitinfo(u.model.c_str())->flags & QDM_PODS) != 0) {
        head += " pods " + hex(u.pods);
      }
      auto names = port_nodes(u.adapter, u.target);
      if (names.empty()) {
        out.push_back(head + ": not attached, no nodes");
        continue;
      }
      head += ": " + std::to_string(names.size()) + " ports, " + names.begin()->second + " to " +
              names.rbegin()->second;
      std::map<std::string, std::vector<unsigned>> by_kind;
      for (const auto& [line, p] : u.ports) {
        by_kind[kind_name(p.kind)].push_back(line);
      }
      for (const auto& [kind, lines] : by_kind) {
        head += std::string("; ") + kind + " " + ranges(lines);
      }
      out.push_back(head);
      for (const auto& [line, p] : u.ports) {
        auto it = names.find(line);
        const std::string node = it == names.end() ? "port " + std::to_string(line) : it->second;
        if (p.kind == PortSetup::Kind::pty) {
          out.push_back("  " + node + ": pty " + pty_of(u, line)->slave_path());
        } else if (p.kind == PortSetup::Kind::file) {
          out.push_back("  " + node + ": file " + p.path);
        }
      }
    }
    for (const DeviceSetup& d : topology.devices) {
      out.push_back("device " + std::to_string(d.adapter) + ":" + std::to_string(d.target) +
                    " type " + std::to_string(d.type) + " " + d.vendor + " " + d.product);
    }
    return out;
  }

  int publish(const std::string& devdir, std::string* why) {
    for (PtyPort& p : ptys) {
      auto names = port_nodes(p.unit->adapter, p.unit->target);
      auto it = names.find(p.line);
      if (it == names.end()) {
        continue; // the unit did not attach: there is no node to name the link after
      }
      const std::string link = devdir + "/" + it->second + ".pty";
      struct ::stat st {};
      if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
          return fail(EEXIST, link + ": exists and is no link", why);
        }
        ::unlink(link.c_str()); // an earlier qdhost's
      }
      if (::symlink(p.pty->slave_path().c_str(), link.c_str()) != 0) {
        return fail(errno, link + ": " + std::strerror(errno), why);
      }
      p.link = link;
    }
    return 0;
  }

  void unpublish() {
    for (PtyPort& p : ptys) {
      if (p.link.empty()) {
        continue;
      }
      char target[256];
      ssize_t n = ::readlink(p.link.c_str(), target, sizeof target - 1);
      // Only the link still pointing at our slave is ours to remove.
      if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == p.pty->slave_path()) {
        ::unlink(p.link.c_str());
      }
      p.link.clear();
    }
  }

  int take_down(std::string* why) {
    if (down) {
      return 0;
    }
    down = true;
    if (loop) {
      if (ddi.loaded(loop::kDriverName)) {
        loop::remove(ddi);
      }
      return 0;
    }
    unpublish();
    for (PtyPort& p : ptys) {
      p.pty->stop();
    }
    int status = 0;
    if (loaded) {
      // A first attempt that finds lines still enabled only warns; the second forces.
      int r = ddi.unload(kDriver);
      if (r != 0 && allow_unload) {
        r = ddi.unload(kDriver);
      }
      if (r != 0) {
        *why = "qd driver not unloaded: " + ddi.last_error();
        status = allow_unload ? 1 : 0;
      }
      kemu::clear_autopush();
    }
    if (units) {
      // The units' timed work runs in kernel contexts: take them away inside one.
      kernel.call([&] { units.reset(); });
      units.reset(); // the kernel would not run it
    }
    kernel.settle();
    scsa.reset();
    return status;
  }
};

HostSystem::HostSystem(kemu::Kernel& kernel, kemu::Ddi& ddi, HostConfig cfg)
    : impl_(std::make_unique<Impl>(kernel, ddi, std::move(cfg))) {}

HostSystem::~HostSystem() {
  std::string ignored;
  impl_->take_down(&ignored);
}

int HostSystem::bring_up(std::string* why) {
  return impl_->bring_up(why);
}

std::vector<std::string> HostSystem::summary() const {
  return impl_->summary();
}

int HostSystem::publish(const std::string& devdir, std::string* why) {
  return impl_->publish(devdir, why);
}

std::vector<std::string> HostSystem::links() const {
  std::vector<std::string> out;
  for (const PtyPort& p : impl_->ptys) {
    if (!p.link.empty()) {
      out.push_back(p.link + " -> " + p.pty->slave_path());
    }
  }
  return out;
}

int HostSystem::take_down(std::string* why) {
  return impl_->take_down(why);
}

} // namespace qdhost
