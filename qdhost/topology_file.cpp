#include "qdhost/topology_file.h"

#include <arpa/inet.h>

#include <charconv>
#include <set>

#include "qmx_unittab.h"

namespace qdhost {

namespace {

constexpr int kAdapters = 16;
constexpr int kTargets = 16;
constexpr unsigned kPodPorts = 18;
constexpr unsigned kPods = 7;

struct Refusal {
  std::string reason;
};

struct Word {
  std::string text;
  bool quoted = false;
};

// Splits a line into words, dropping the comment. Throws Refusal.
std::vector<Word> split(std::string_view line) {
  std::vector<Word> words;
  std::size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') {
      break;
    }
    Word w;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
           line[i] != '#') {
      if (line[i] == '"') {
        std::size_t end = line.find('"', i + 1);
        if (end == std::string_view::npos) {
          throw Refusal{"unterminated quote"};
        }
        w.text.append(line.substr(i + 1, end - i - 1));
        w.quoted = true;
        i = end + 1;
      } else {
        w.text.push_back(line[i++]);
      }
    }
    words.push_back(std::move(w));
  }
  return words;
}

std::optional<long> number(std::string_view s) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  long v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) {
    return std::nullopt;
  }
  return v;
}

void address(std::string_view s, int& adapter, int& target) {
  auto colon = s.find(':');
  std::optional<long> a, t;
  if (colon != std::string_view::npos) {
    a = number(s.substr(0, colon));
    t = number(s.substr(colon + 1));
  }
  if (!a || !t) {
    throw Refusal{"'" + std::string(s) + "' is no address ADAPTER:TARGET"};
  }
  if (*a < 0 || *a >= kAdapters) {
    throw Refusal{"adapter " + std::to_string(*a) + " out of range 0-15"};
  }
  if (*t < 0 || *t >= kTargets) {
    throw Refusal{"target " + std::to_string(*t) + " out of range 0-15"};
  }
  adapter = static_cast<int>(*a);
  target = static_cast<int>(*t);
}

bool on_off(const std::string& name, const std::string& v) {
  if (v == "on") {
    return true;
  }
  if (v == "off") {
    return false;
  }
  throw Refusal{name + " must be on or off, not '" + v + "'"};
}

std::string text_option(const std::string& name, const std::string& v, std::size_t max) {
  if (v.empty() || v.size() > max) {
    throw Refusal{name + " must have 1 to " + std::to_string(max) + " characters"};
  }
  return v;
}

// The options of a statement: NAME=VALUE words and bare flag words. Each at most once.
class Options {
public:
  Options(const std::vector<Word>& words, std::size_t from) {
    for (std::size_t i = from; i < words.size(); ++i) {
      const std::string& w = words[i].text;
      auto eq = w.find('=');
      std::string name = eq == std::string::npos ? w : w.substr(0, eq);
      if (name.empty()) {
        throw Refusal{"'" + w + "' is no option"};
      }
      if (!seen_.insert(name).second) {
        throw Refusal{name + " given twice"};
      }
      if (eq == std::string::npos) {
        flags_.insert(name);
      } else {
        values_[name] = w.substr(eq + 1);
      }
    }
  }
  std::optional<std::string> value(const std::string& name) {
    auto it = values_.find(name);
    if (it == values_.end()) {
      if (flags_.contains(name)) {
        throw Refusal{name + " needs a value (" + name + "=...)"};
      }
      return std::nullopt;
    }
    std::string v = it->second;
    values_.erase(it);
    return v;
  }
  bool flag(const std::string& name) {
    if (values_.contains(name)) {
      throw Refusal{name + " takes no value"};
    }
    return flags_.erase(name) != 0;
  }
  void modem(ModemInputs& m) {
    if (auto v = value("carrier")) {
      m.carrier = on_off("carrier", *v);
    }
    if (auto v = value("dsr")) {
      m.dsr = on_off("dsr", *v);
    }
    if (auto v = value("cts")) {
      m.cts = on_off("cts", *v);
    }
  }
  // Everything asked for has been taken: what is left is unknown.
  void done() const {
    if (!values_.empty()) {
      throw Refusal{"unknown option '" + values_.begin()->first + "'"};
    }
    if (!flags_.empty()) {
      throw Refusal{"unknown word '" + *flags_.begin() + "'"};
    }
  }

private:
  std::set<std::string> seen_;
  std::set<std::string> flags_;
  std::map<std::string, std::string> values_;
};

const qd_unitinfo& model_row(const std::string& name, bool lanvara) {
  const qd_unitinfo* row = qdm_get_unitinfo(name.c_str());
  if (row == nullptr || name != row->name) {
    throw Refusal{"unknown model '" + name + "'"};
  }
  if (((row->flags & QDM_LANVARA) != 0) != lanvara) {
    throw Refusal{name +
                  (lanvara ? " is no Lanvara model" : " is a Lanvara model, not a SCSI unit")};
  }
  return *row;
}

// What port lines are about: the unit statement above them.
struct UnitRef {
  const qd_unitinfo* row;
  std::uint8_t pods; // fitted pods of a pod model
  std::map<unsigned, PortSetup>* ports;
  std::string model;
};

// The ports LINES names on the unit's model.
std::vector<unsigned> port_list(const std::string& spec, const UnitRef& unit) {
  const qd_unitinfo& row = *unit.row;
  const bool pods = (row.flags & QDM_PODS) != 0;
  auto fitted = [&](unsigned line) { return !pods || ((unit.pods >> (line / kPodPorts)) & 1u); };
  auto exists = [&](unsigned line) {
    return qdf_port_type(&row, line) != QD_PORT_NONE && fitted(line);
  };
  std::vector<unsigned> lines;
  if (spec == "all") {
    for (unsigned i = 0; i < static_cast<unsigned>(row.nlines); ++i) {
      if (exists(i)) {
        lines.push_back(i);
      }
    }
    return lines;
  }
  std::string_view rest = spec;
  while (true) {
    auto comma = rest.find(',');
    std::string_view part = rest.substr(0, comma);
    auto dash = part.find('-');
    auto first = number(part.substr(0, dash));
    auto last = dash == std::string_view::npos ? first : number(part.substr(dash + 1));
    if (!first || !last || *first < 0 || *last < *first) {
      throw Refusal{"'" + spec + "' is no list of ports"};
    }
    for (long l = *first; l <= *last; ++l) {
      if (l >= row.nlines) {
        throw Refusal{"port " + std::to_string(l) + " beyond the " + std::to_string(row.nlines) +
                      " ports of " + unit.model};
      }
      const auto line = static_cast<unsigned>(l);
      if (qdf_port_type(&row, line) == QD_PORT_NONE) {
        throw Refusal{unit.model + " has no port " + std::to_string(l)};
      }
      if (!fitted(line)) {
        throw Refusal{"port " + std::to_string(l) + " is in pod " + std::to_string(l / kPodPorts) +
                      ", which is not fitted"};
      }
      lines.push_back(line);
    }
    if (comma == std::string_view::npos) {
      return lines;
    }
    rest.remove_prefix(comma + 1);
  }
}

class Parser {
public:
  explicit Parser(std::string_view file) : file_(file) {}

  void statement(std::vector<Word> words, int line_no) {
    const std::string& kw = words[0].text;
    if (kw == "qmx") {
      qmx(words, line_no);
    } else if (kw == "lanvara") {
      lanvara(words, line_no);
    } else if (kw == "port") {
      port(words, line_no);
    } else if (kw == "device") {
      device(words, line_no);
    } else {
      throw Refusal{"unknown statement '" + kw + "'"};
    }
  }

  // The ports no line named get what "all" said.
  Topology finish() {
    for (auto& [index, p] : all_) {
      UnitRef unit = ref(index);
      for (unsigned l : port_list("all", unit)) {
        unit.ports->emplace(l, p);
      }
    }
    return std::move(topo);
  }

  Topology topo;

private:
  void take_address(const std::string& text, int& adapter, int& target) {
    address(text, adapter, target);
    if (!taken_.insert({adapter, target}).second) {
      throw Refusal{"address " + text + " is taken"};
    }
  }

  void qmx(const std::vector<Word>& words, int line_no) {
    if (words.size() < 3) {
      throw Refusal{"qmx needs an address and a model"};
    }
    QmxSetup u;
    u.line_no = line_no;
    u.model = words[2].text;
    const qd_unitinfo& row = model_row(u.model, false);
    take_address(words[1].text, u.adapter, u.target);
    Options opts(words, 3);
    if (auto v = opts.value("vendor")) {
      u.vendor = text_option("vendor", *v, 8);
    }
    if (auto v = opts.value("firmware")) {
      if (v->size() != 4) {
        throw Refusal{"firmware must have 4 characters, as \"V2.3\""};
      }
      u.firmware = *v;
    }
    if (auto v = opts.value("product")) {
      u.product = text_option("product", *v, 16);
    }
    if (auto v = opts.value("pods")) {
      if ((row.flags & QDM_PODS) == 0) {
        throw Refusal{u.model + " carries no pods"};
      }
      auto mask = number(*v);
      if (!mask || *mask < 0 || *mask >= (1L << kPods)) {
        throw Refusal{"pods must be a mask of pods 0-6 (0x00-0x7f), not '" + *v + "'"};
      }
      u.pods = static_cast<std::uint8_t>(*mask);
    }
    u.redundant = opts.flag("redundant");
    opts.modem(u.modem);
    opts.done();
    topo.units.push_back(std::move(u));
    units_.push_back({false, topo.units.size() - 1});
  }

  void lanvara(const std::vector<Word>& words, int line_no) {
    if (words.size() < 3) {
      throw Refusal{"lanvara needs an address and a model"};
    }
    LanvaraSetup m;
    m.line_no = line_no;
    m.address = words[1].text;
    m.model = words[2].text;
    in_addr a{};
    if (::inet_pton(AF_INET, m.address.c_str(), &a) != 1) {
      throw Refusal{"'" + m.address + "' is no IPv4 address"};
    }
    if ((ntohl(a.s_addr) >> 24) != 127) {
      throw Refusal{m.address + " is no loopback address: modules listen on 127.0.0.0/8 only"};
    }
    model_row(m.model, true);
    Options opts(words, 3);
    if (auto v = opts.value("listen")) {
      auto port = number(*v);
      if (!port || *port < 0 || *port > 65535) {
        throw Refusal{"listen must be a TCP port 0-65535, not '" + *v + "'"};
      }
      m.listen = static_cast<std::uint16_t>(*port);
    }
    if (auto v = opts.value("firmware")) {
      if (v->size() != 4) {
        throw Refusal{"firmware must have 4 characters, as \"V6.0\""};
      }
      m.firmware = *v;
    }
    opts.modem(m.modem);
    opts.done();
    const std::string at = m.address + ":" + std::to_string(m.listen);
    if (m.listen != 0 && !listeners_.insert(at).second) {
      throw Refusal{at + " is taken"};
    }
    topo.modules.push_back(std::move(m));
    units_.push_back({true, topo.modules.size() - 1});
  }

  // Unit statements in file order: (Lanvara?, index).
  UnitRef ref(std::size_t unit) {
    auto [lanvara, index] = units_[unit];
    if (lanvara) {
      LanvaraSetup& m = topo.modules[index];
      return {&model_row(m.model, true), 0, &m.ports, m.model};
    }
    QmxSetup& u = topo.units[index];
    return {&model_row(u.model, false), u.pods, &u.ports, u.model};
  }

  void port(const std::vector<Word>& words, int line_no) {
    if (units_.empty()) {
      throw Refusal{"port before any qmx or lanvara unit"};
    }
    if (words.size() < 3) {
      throw Refusal{"port needs ports and what is plugged in"};
    }
    UnitRef unit = ref(units_.size() - 1);
    PortSetup p;
    p.line_no = line_no;
    const std::string& kind = words[2].text;
    std::size_t from = 3;
    if (kind == "loopback") {
      p.kind = PortSetup::Kind::loopback;
    } else if (kind == "pty") {
      p.kind = PortSetup::Kind::pty;
    } else if (kind == "none") {
      p.kind = PortSetup::Kind::none;
    } else if (kind == "file") {
      p.kind = PortSetup::Kind::file;
      if (words.size() < 4 || (!words[3].quoted && words[3].text.find('=') != std::string::npos)) {
        throw Refusal{"file needs a path"};
      }
      p.path = words[3].text;
      if (p.path.empty()) {
        throw Refusal{"file needs a path"};
      }
      from = 4;
    } else {
      throw Refusal{"unknown far end '" + kind + "' (loopback, pty, file or none)"};
    }
    const std::vector<unsigned> lines = port_list(words[1].text, unit);
    Options opts(words, from);
    p.paced = opts.flag("paced");
    if (p.kind == PortSetup::Kind::loopback) {
      p.wired = !opts.flag("nowire");
    }
    opts.modem(p.modem);
    opts.done();
    if (p.kind == PortSetup::Kind::loopback && p.wired &&
        (p.modem.carrier || p.modem.dsr || p.modem.cts)) {
      throw Refusal{"a wired loopback plug drives carrier, dsr and cts itself (say nowire)"};
    }
    if (p.kind == PortSetup::Kind::pty && lines.size() != 1) {
      throw Refusal{"a pty goes on one port"};
    }
    if (words[1].text == "all") {
      if (!all_.emplace(units_.size() - 1, p).second) {
        throw Refusal{"ports given 'all' twice"};
      }
      return;
    }
    for (unsigned l : lines) {
      auto [it, fresh] = unit.ports->emplace(l, p);
      if (!fresh) {
        throw Refusal{"port " + std::to_string(l) + " given twice (line " +
                      std::to_string(it->second.line_no) + ")"};
      }
    }
  }

  void device(const std::vector<Word>& words, int line_no) {
    if (words.size() < 3) {
      throw Refusal{"device needs an address and a type"};
    }
    DeviceSetup d;
    d.line_no = line_no;
    const std::string& type = words[2].text;
    if (type == "disk") {
      d.type = 0x00;
    } else if (type == "tape") {
      d.type = 0x01;
    } else if (type == "processor") {
      d.type = 0x03;
    } else if (auto n = number(type); n && *n >= 0 && *n < 32) {
      d.type = static_cast<std::uint8_t>(*n);
    } else {
      throw Refusal{"unknown device type '" + type + "' (disk, tape, processor or 0-31)"};
    }
    take_address(words[1].text, d.adapter, d.target);
    Options opts(words, 3);
    if (auto v = opts.value("vendor")) {
      d.vendor = text_option("vendor", *v, 8);
    }
    if (auto v = opts.value("product")) {
      d.product = text_option("product", *v, 16);
    }
    if (auto v = opts.value("revision")) {
      d.revision = text_option("revision", *v, 4);
    }
    opts.done();
    topo.devices.push_back(std::move(d));
  }

  std::string file_;
  std::set<std::pair<int, int>> taken_;
  std::vector<std::pair<bool, std::size_t>> units_; // see ref()
  std::map<std::size_t, PortSetup> all_;            // unit -> what "all" plugs in
  std::set<std::string> listeners_;
};

} // namespace

std::variant<Topology, TopologyError> parse_topology(std::string_view file, std::string_view text) {
  Parser parser(file);
  int line_no = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    ++line_no;
    std::size_t end = text.find('\n', pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    try {
      std::vector<Word> words = split(line);
      if (!words.empty()) {
        parser.statement(std::move(words), line_no);
      }
    } catch (const Refusal& r) {
      return TopologyError{std::string(file), line_no, r.reason};
    }
  }
  return parser.finish();
}

const char* kind_name(PortSetup::Kind kind) {
  switch (kind) {
  case PortSetup::Kind::loopback:
    return "loopback";
  case PortSetup::Kind::pty:
    return "pty";
  case PortSetup::Kind::file:
    return "file";
  case PortSetup::Kind::none:
    break;
  }
  return "none";
}

namespace {

bool by_kind(const PortSetup& port) {
  return port.kind == PortSetup::Kind::pty || port.kind == PortSetup::Kind::file;
}

} // namespace

bool carrier_of(const ModemInputs& unit, const PortSetup& port) {
  return port.modem.carrier.value_or(unit.carrier.value_or(by_kind(port)));
}

bool dsr_of(const ModemInputs& unit, const PortSetup& port) {
  return port.modem.dsr.value_or(unit.dsr.value_or(by_kind(port)));
}

bool cts_of(const ModemInputs& unit, const PortSetup& port) {
  return port.modem.cts.value_or(unit.cts.value_or(by_kind(port)));
}

} // namespace qdhost
