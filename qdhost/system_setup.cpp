// Building what qdhost serves: the files read and checked first, then the emulated units
// and their far ends, then the qd driver loaded and attached; and taking it all down.
#include "qdhost/system_setup.h"

#include <arpa/inet.h>
#include <fcntl.h>
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
#include "qdemu/kernel_engine_host.h"
#include "qdemu/lanvara_module.h"
#include "qdemu/scsi_topology.h"
#include "qdhost/file_far_end.h"
#include "qdhost/loop_driver.h"
#include "qdhost/pty_far_end.h"
#include "qdhost/topology_file.h"
#include "qmx_unittab.h"

namespace qdhost {

namespace {

constexpr char kDriver[] = "qd";
constexpr minor_t kLanvaraUnitNode = 0x100ff; // unit n's node: this | n << 8
constexpr int kLanvaraUnits = 256;
constexpr minor_t kLanvaraBit = 0x10000;
constexpr minor_t kDialoutBit = 0x20000;
constexpr minor_t kDiagMinor = 0xffff;

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
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about "," + std::to_string.
    if (!s.empty()) {
      s += ',';
    }
    s += std::to_string(lines[i]);
    if (j > i) {
      s += '-';
      s += std::to_string(lines[j]);
    }
    i = j + 1;
  }
  return s;
}

// A Lanvara unit's number as its names carry it: "1a" of vrn1a and vrnn1a.
std::string unit_number(int n) {
  char b[8];
  std::snprintf(b, sizeof b, "%x", static_cast<unsigned>(n));
  return b;
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

// The Lanvara entries of qd.conf: unit number -> (model, address), read as the driver
// reads them (the address starts at the first digit after the comma).
std::map<int, std::pair<std::string, std::string>> lanvara_entries(const kemu::ConfFile& conf) {
  std::map<int, std::pair<std::string, std::string>> units;
  for (const kemu::ConfEntry& e : conf.entries) {
    for (const kemu::ConfProp& p : e.props) {
      if (e.is_node() || !p.value.is_string || !p.name.starts_with("vrn")) {
        continue;
      }
      const std::string digits = p.name.substr(3);
      char* end = nullptr;
      const long n = std::strtol(digits.c_str(), &end, 16);
      // The driver reads vrn0 to vrnff as it names them: lower case, no leading zeros.
      if (digits.empty() || *end != '\0' || n < 0 || n >= kLanvaraUnits ||
          digits != unit_number(static_cast<int>(n))) {
        continue;
      }
      const std::string& v = p.value.text;
      const auto comma = v.find(',');
      std::string address;
      if (comma != std::string::npos) {
        address = v.substr(comma + 1);
        address.erase(0, address.find_first_of("0123456789"));
      }
      units[static_cast<int>(n)] = {v.substr(0, comma), address};
    }
  }
  return units;
}

// A port of the topology: the unit statement it belongs to and its number.
struct PortKey {
  const void* unit;
  unsigned line;
  auto operator<=>(const PortKey&) const = default;
};

struct PtyPort {
  PortKey at;
  std::shared_ptr<PtyFarEnd> pty;
  std::string link; // its name in the device directory, made by publish
};

struct Module {
  const LanvaraSetup* setup;
  std::unique_ptr<qdemu::KernelEngineHost> host;
  std::unique_ptr<qdemu::LanvaraModule> module;
};

} // namespace

std::string default_conf_path() {
  return std::string(QD_DEFAULT_ETC) + "/qd.conf";
}

std::string default_topology_path() {
  return std::string(QD_DEFAULT_ETC) + "/topology";
}

struct HostSystem::Impl {
  Impl(kemu::Kernel& k, kemu::Ddi& d, HostConfig c) : kernel(k), ddi(d), cfg(std::move(c)) {}

  kemu::Kernel& kernel;
  kemu::Ddi& ddi;
  HostConfig cfg;
  std::string conf_path, topology_path;
  Topology topology;
  bool allow_unload = false;
  std::map<int, std::pair<std::string, std::string>> vrn; // qd.conf's Lanvara units
  std::vector<std::string> conf_notes;
  std::optional<kemu::Scsa> scsa;
  std::optional<qdemu::ScsiTopology> units;
  std::vector<Module> modules;
  std::vector<dev_info_t*> adapter_nodes; // by adapter number
  // Where the ptys' masters and the far-end files' descriptors are served.
  std::unique_ptr<qdemu::KernelEngineHost> pty_host;
  std::shared_ptr<const DeviceDir> devdir; // where publish made the links
  std::vector<PtyPort> ptys;
  std::map<PortKey, std::shared_ptr<FileFarEnd>> files;
  std::vector<std::string> attach_notes;
  bool loop = false;
  bool loaded = false;
  bool down = false;

  int fail(int err, std::string text, std::string* why) {
    *why = std::move(text);
    return err;
  }

  std::string where(int line_no) const {
    return topology_path + ":" + std::to_string(line_no) + ": ";
  }

  // ---- Node names --------------------------------------------------------------------------

  // Dial-in port nodes whose minor passes `match`: port number -> name.
  template <class Match> std::map<unsigned, std::string> nodes_where(Match match) const {
    std::map<unsigned, std::string> names;
    for (const kemu::MinorNode& n : ddi.minor_nodes()) {
      const minor_t m = getminor(n.dev);
      if ((m & kDialoutBit) == 0 && m != kDiagMinor && (m & 0xff) != 0xff && match(n, m)) {
        names[m & 0xff] = n.name;
      }
    }
    return names;
  }

  std::map<unsigned, std::string> port_nodes(const QmxSetup& u) const {
    if (u.adapter >= static_cast<int>(adapter_nodes.size())) {
      return {};
    }
    dev_info_t* hba = adapter_nodes[static_cast<std::size_t>(u.adapter)];
    return nodes_where([&](const kemu::MinorNode& n, minor_t m) {
      return (m & kLanvaraBit) == 0 && static_cast<int>((m >> 8) & 0xf) == u.target &&
             ddi.adapter_of(n.dip) == hba;
    });
  }

  // The qd.conf unit number that names the module's address, if one does.
  std::optional<int> vrn_of(const LanvaraSetup& m) const {
    for (const auto& [n, entry] : vrn) {
      if (entry.second == m.address) {
        return n;
      }
    }
    return std::nullopt;
  }

  std::map<unsigned, std::string> port_nodes(const LanvaraSetup& m) const {
    auto n = vrn_of(m);
    if (!n) {
      return {};
    }
    const minor_t base = kLanvaraBit | static_cast<minor_t>(*n) << 8;
    return nodes_where(
        [&](const kemu::MinorNode&, minor_t minor) { return (minor & 0x1ff00) == base; });
  }

  std::map<unsigned, std::string> port_nodes(const void* unit) const {
    for (const QmxSetup& u : topology.units) {
      if (&u == unit) {
        return port_nodes(u);
      }
    }
    for (const LanvaraSetup& m : topology.modules) {
      if (&m == unit) {
        return port_nodes(m);
      }
    }
    return {};
  }

  // ---- Reading -----------------------------------------------------------------------------

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
    vrn = lanvara_entries(parsed);
    std::string globals;
    for (const char* name : {"forceload", "allow_unload"}) {
      globals +=
          std::string(" ") + name + "=" + std::to_string(conf_integer(parsed, name).value_or(0));
    }
    conf_notes.push_back("qd.conf " + conf_path + ":" + globals);
    conf_notes.push_back("topology " + topology_path);
    conf_text = std::move(*conf);
    return 0;
  }

  // ---- Building ----------------------------------------------------------------------------

  // The far ends that need the host: made before the units, so that a failure leaves
  // nothing built.
  int open_far_ends(const void* unit, const std::map<unsigned, PortSetup>& ports,
                    std::string* why) {
    const std::string base = directory_of(topology_path);
    for (const auto& [line, p] : ports) {
      if (!pty_host && (p.kind == PortSetup::Kind::pty || p.kind == PortSetup::Kind::file)) {
        pty_host = std::make_unique<qdemu::KernelEngineHost>(kernel);
      }
      if (p.kind == PortSetup::Kind::pty) {
        auto pty = PtyFarEnd::open(*pty_host, why);
        if (!pty) {
          *why = where(p.line_no) + *why;
          return EIO;
        }
        ptys.push_back({{unit, line}, std::move(pty), {}});
      } else if (p.kind == PortSetup::Kind::file) {
        std::string path = p.path.starts_with("/") ? p.path : base + "/" + p.path;
        auto f = FileFarEnd::open(path, *pty_host, why);
        if (!f) {
          *why = where(p.line_no) + *why;
          return EIO;
        }
        files[{unit, line}] = std::move(f);
      }
    }
    return 0;
  }

  std::shared_ptr<PtyFarEnd> pty_of(PortKey at) const {
    for (const PtyPort& p : ptys) {
      if (p.at == at) {
        return p.pty;
      }
    }
    return nullptr;
  }

  // The far end a port line asks for; null for none.
  std::shared_ptr<qdemu::FarEnd> far_end(PortKey at, const PortSetup& p) const {
    switch (p.kind) {
    case PortSetup::Kind::loopback:
      return std::make_shared<qdemu::LoopbackPlug>(
          qdemu::LoopbackPlug::Options{.wire_signals = p.wired});
    case PortSetup::Kind::pty:
      return pty_of(at);
    case PortSetup::Kind::file:
      return files.at(at);
    case PortSetup::Kind::none:
      break;
    }
    return nullptr;
  }

  // Far ends, pacing and modem inputs of one unit's ports, on its engine.
  void set_up_ports(qdemu::Engine& e, const void* unit, const ModemInputs& defaults,
                    const std::map<unsigned, PortSetup>& ports) const {
    const PortSetup bare;
    for (unsigned line = 0; line < e.line_count(); ++line) {
      if (!e.has_port(line)) {
        continue;
      }
      auto it = ports.find(line);
      const PortSetup& p = it == ports.end() ? bare : it->second;
      if (auto far = far_end({unit, line}, p)) {
        e.attach(line, std::move(far));
      }
      if (p.paced) {
        e.set_line_pacing(line, true);
      }
      if (p.kind != PortSetup::Kind::loopback || !p.wired) {
        e.set_carrier(line, carrier_of(defaults, p));
        e.set_dsr(line, dsr_of(defaults, p));
        e.set_cts(line, cts_of(defaults, p));
      }
    }
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
      set_up_ports(unit.engine(), &u, u.modem, u.ports);
    }
    for (const DeviceSetup& d : topology.devices) {
      units->add_device(d.adapter, d.target,
                        {.device_type = d.type,
                         .vendor = d.vendor,
                         .product = d.product,
                         .revision = d.revision});
    }
  }

  int start_modules(std::string* why) {
    for (const LanvaraSetup& m : topology.modules) {
      qdemu::LanvaraOptions o;
      o.address = m.address;
      o.port = m.listen;
      o.model = m.model;
      o.unit.firmware = m.firmware;
      Module mod{&m, std::make_unique<qdemu::KernelEngineHost>(kernel), nullptr};
      mod.module = std::make_unique<qdemu::LanvaraModule>(*mod.host, o);
      mod.module->with_engine(
          [this, &m](qdemu::Engine& e) { set_up_ports(e, &m, m.modem, m.ports); });
      modules.push_back(std::move(mod));
      if (int err = modules.back().module->start(); err != 0) {
        return fail(err,
                    where(m.line_no) + m.address + ":" + std::to_string(m.listen) + ": " +
                        std::strerror(err),
                    why);
      }
    }
    return 0;
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
    for (const QmxSetup& u : topology.units) {
      if (int err = open_far_ends(&u, u.ports, why); err != 0) {
        return err;
      }
    }
    for (const LanvaraSetup& m : topology.modules) {
      if (int err = open_far_ends(&m, m.ports, why); err != 0) {
        return err;
      }
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
    if (int err = start_modules(why); err != 0) {
      return err;
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

  // ---- Reporting ---------------------------------------------------------------------------

  void describe_ports(std::vector<std::string>& out, std::string head, const void* unit,
                      const std::map<unsigned, PortSetup>& ports) const {
    auto names = port_nodes(unit);
    if (!names.empty()) {
      head += ": " + std::to_string(names.size()) + " ports, " + names.begin()->second + " to " +
              names.rbegin()->second;
    }
    std::map<std::string, std::vector<unsigned>> by_kind;
    for (const auto& [line, p] : ports) {
      by_kind[kind_name(p.kind)].push_back(line);
    }
    for (const auto& [kind, lines] : by_kind) {
      head += std::string("; ") + kind + " " + ranges(lines);
    }
    out.push_back(head);
    for (const auto& [line, p] : ports) {
      auto it = names.find(line);
      const std::string node = it == names.end() ? "port " + std::to_string(line) : it->second;
      if (p.kind == PortSetup::Kind::pty) {
        out.push_back("  " + node + ": pty " + pty_of({unit, line})->slave_path());
      } else if (p.kind == PortSetup::Kind::file) {
        out.push_back("  " + node + ": file " + p.path);
      }
    }
  }

  std::vector<std::string> summary() const {
    if (loop) {
      return {"loopback driver (--test-loop)"};
    }
    std::vector<std::string> out = conf_notes;
    out.insert(out.end(), attach_notes.begin(), attach_notes.end());
    for (const auto& [n, entry] : vrn) {
      out.push_back("Lanvara unit vrn" + unit_number(n) + ": " + entry.first + " at " +
                    entry.second + ", unit node vrnn" + unit_number(n));
    }
    for (const QmxSetup& u : topology.units) {
      std::string head = "qmx " + std::to_string(u.adapter) + ":" + std::to_string(u.target) + " " +
                         u.model + " " + u.firmware;
      if ((qdm_get_unitinfo(u.model.c_str())->flags & QDM_PODS) != 0) {
        head += " pods " + hex(u.pods);
      }
      if (port_nodes(u).empty()) {
        head += " (not attached)";
      }
      describe_ports(out, head, &u, u.ports);
    }
    for (std::size_t i = 0; i < modules.size(); ++i) {
      const LanvaraSetup& m = *modules[i].setup;
      std::string head = "lanvara " + m.address + ":" + std::to_string(modules[i].module->port()) +
                         " " + m.model + " " + m.firmware;
      if (!vrn_of(m)) {
        head += " (no vrn entry of qd.conf names it)";
      }
      describe_ports(out, head, &m, m.ports);
    }
    for (const DeviceSetup& d : topology.devices) {
      out.push_back("device " + std::to_string(d.adapter) + ":" + std::to_string(d.target) +
                    " type " + std::to_string(d.type) + " " + d.vendor + " " + d.product);
    }
    return out;
  }

  // ---- Links -------------------------------------------------------------------------------

  int publish(std::shared_ptr<const DeviceDir> dir, std::string* why) {
    devdir = std::move(dir);
    const int at = devdir->fd();
    for (PtyPort& p : ptys) {
      auto names = port_nodes(p.at.unit);
      auto it = names.find(p.at.line);
      if (it == names.end()) {
        continue; // no node to name the link after (unit not attached, no vrn entry)
      }
      const std::string link = it->second + ".pty";
      struct ::stat st {};
      if (::fstatat(at, link.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISLNK(st.st_mode)) {
          return fail(EEXIST, *devdir / link + ": exists and is no link", why);
        }
        ::unlinkat(at, link.c_str(), 0); // an earlier qdhost's
      }
      if (::symlinkat(p.pty->slave_path().c_str(), at, link.c_str()) != 0) {
        return fail(errno, *devdir / link + ": " + std::strerror(errno), why);
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
      ssize_t n = ::readlinkat(devdir->fd(), p.link.c_str(), target, sizeof target - 1);
      // Only the link still pointing at our slave is ours to remove.
      if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == p.pty->slave_path()) {
        ::unlinkat(devdir->fd(), p.link.c_str(), 0);
      }
      p.link.clear();
    }
  }

  // ---- Taking down -------------------------------------------------------------------------

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
    for (Module& m : modules) {
      m.module->stop();
    }
    // A module's engine goes as kernel work: before the hosts it runs on.
    for (Module& m : modules) {
      m.module.reset();
    }
    kernel.settle();
    modules.clear();
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

int HostSystem::publish(std::shared_ptr<const DeviceDir> dir, std::string* why) {
  return impl_->publish(std::move(dir), why);
}

std::vector<std::string> HostSystem::links() const {
  std::vector<std::string> out;
  for (const PtyPort& p : impl_->ptys) {
    if (!p.link.empty()) {
      out.push_back(*impl_->devdir / p.link + " -> " + p.pty->slave_path());
    }
  }
  return out;
}

int HostSystem::take_down(std::string* why) {
  return impl_->take_down(why);
}

} // namespace qdhost
