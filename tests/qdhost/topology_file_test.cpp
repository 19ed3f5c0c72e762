// The topology file: what a well-formed file builds, and where and why others are refused.
#include "qdhost/topology_file.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace {

using qdhost::PortSetup;
using qdhost::Topology;
using qdhost::TopologyError;
using Kind = PortSetup::Kind;

Topology parse(const std::string& text) {
  auto r = qdhost::parse_topology("t", text);
  if (auto* e = std::get_if<TopologyError>(&r)) {
    ADD_FAILURE() << e->text();
    return {};
  }
  return std::get<Topology>(r);
}

TEST(TopologyFile, EveryStatementAndOption) {
  Topology t = parse("# the whole set\n"
                     "qmx 1:4 QMX2-7POD-8S1P57 vendor=Brannoc firmware=V2.2 "
                     "product=\"QMX2 7POD\" pods=0x05 redundant carrier=on dsr=off\n"
                     "\tport 0,2-3 loopback nowire cts=on   # comment\n"
                     "  port 1 loopback paced\n"
                     "  port 36 pty carrier=off\n"
                     "  port 37 file \"out file.txt\" paced\n"
                     "  port 38-39 none\n"
                     "\n"
                     "device 0:6 tape vendor=TAPECO product=T1 revision=2.0\n"
                     "device 0:7 17\n"
                     "lanvara 127.0.0.5 Lanvara16S-115A listen=0 firmware=V6.1 carrier=on\n"
                     "  port 15 pty\n"
                     "lanvara 127.0.0.5 Lanvara8S-115A listen=10002\n");
  ASSERT_EQ(t.units.size(), 1u);
  const qdhost::QmxSetup& u = t.units[0];
  EXPECT_EQ(u.adapter, 1);
  EXPECT_EQ(u.target, 4);
  EXPECT_EQ(u.model, "QMX2-7POD-8S1P57");
  EXPECT_EQ(u.vendor, "Brannoc");
  EXPECT_EQ(u.firmware, "V2.2");
  EXPECT_EQ(u.product, "QMX2 7POD");
  EXPECT_EQ(u.pods, 0x05);
  EXPECT_TRUE(u.redundant);
  EXPECT_EQ(u.line_no, 2);
  ASSERT_EQ(u.ports.size(), 8u);

  const PortSetup& plug = u.ports.at(2);
  EXPECT_EQ(plug.kind, Kind::loopback);
  EXPECT_FALSE(plug.wired);
  EXPECT_EQ(plug.line_no, 3);
  EXPECT_TRUE(qdhost::carrier_of(u.modem, plug)) << "the unit's default";
  EXPECT_FALSE(qdhost::dsr_of(u.modem, plug)) << "the unit's default";
  EXPECT_TRUE(qdhost::cts_of(u.modem, plug)) << "its own";
  EXPECT_TRUE(u.ports.at(1).wired);
  EXPECT_TRUE(u.ports.at(1).paced);

  const PortSetup& pty = u.ports.at(36);
  EXPECT_EQ(pty.kind, Kind::pty);
  EXPECT_FALSE(qdhost::carrier_of(u.modem, pty));
  EXPECT_EQ(u.ports.at(37).kind, Kind::file);
  EXPECT_EQ(u.ports.at(37).path, "out file.txt");
  EXPECT_EQ(u.ports.at(39).kind, Kind::none);

  ASSERT_EQ(t.devices.size(), 2u);
  EXPECT_EQ(t.devices[0].type, 1);
  EXPECT_EQ(t.devices[0].vendor, "TAPECO");
  EXPECT_EQ(t.devices[0].product, "T1");
  EXPECT_EQ(t.devices[0].revision, "2.0");
  EXPECT_EQ(t.devices[1].type, 17);
  EXPECT_EQ(t.devices[1].vendor, "QUANTRIX") << "the default identity";

  ASSERT_EQ(t.modules.size(), 2u);
  const qdhost::LanvaraSetup& m = t.modules[0];
  EXPECT_EQ(m.address, "127.0.0.5");
  EXPECT_EQ(m.listen, 0);
  EXPECT_EQ(m.model, "Lanvara16S-115A");
  EXPECT_EQ(m.firmware, "V6.1");
  ASSERT_EQ(m.ports.size(), 1u) << "the port line belongs to the module above it";
  EXPECT_EQ(m.ports.at(15).kind, Kind::pty);
  EXPECT_TRUE(qdhost::carrier_of(m.modem, m.ports.at(15)));
  EXPECT_EQ(t.modules[1].listen, 10002);
  EXPECT_EQ(t.modules[1].firmware, "V6.0");
  EXPECT_EQ(u.ports.size(), 8u) << "nothing of the module's on the unit";
}

TEST(TopologyFile, DefaultsOfAUnitAndItsPorts) {
  Topology t = parse("qmx 0:0 QMX-8S1P-115A\n");
  ASSERT_EQ(t.units.size(), 1u);
  EXPECT_EQ(t.units[0].vendor, "OrvaneCo");
  EXPECT_EQ(t.units[0].firmware, "V2.3");
  EXPECT_TRUE(t.units[0].ports.empty());

  // Modem inputs by kind when nobody says otherwise.
  qdhost::QmxSetup u;
  struct Case {
    Kind kind;
    bool on;
  };
  for (Case c : {Case{Kind::pty, true}, Case{Kind::file, true}, Case{Kind::none, false},
                 Case{Kind::loopback, false}}) {
    PortSetup p;
    p.kind = c.kind;
    EXPECT_EQ(qdhost::carrier_of(u.modem, p), c.on) << qdhost::kind_name(c.kind);
    EXPECT_EQ(qdhost::dsr_of(u.modem, p), c.on) << qdhost::kind_name(c.kind);
    EXPECT_EQ(qdhost::cts_of(u.modem, p), c.on) << qdhost::kind_name(c.kind);
  }
}

TEST(TopologyFile, AllCoversThePortsNoOtherLineNamesInEitherOrder) {
  for (const char* text : {"qmx 0:1 QMX-8S1P-115A\n  port all loopback\n  port 3 pty\n",
                           "qmx 0:1 QMX-8S1P-115A\n  port 3 pty\n  port all loopback\n"}) {
    SCOPED_TRACE(text);
    Topology t = parse(text);
    ASSERT_EQ(t.units.size(), 1u);
    ASSERT_EQ(t.units[0].ports.size(), 9u) << "8 serial ports and a printer port";
    EXPECT_EQ(t.units[0].ports.at(3).kind, Kind::pty);
    EXPECT_EQ(t.units[0].ports.at(8).kind, Kind::loopback);
  }
  // On a pod model only the ports of fitted pods.
  Topology pods = parse("qmx 0:1 QMX2-7POD-8S1P57 pods=0x02\n  port all none\n");
  ASSERT_EQ(pods.units.size(), 1u);
  EXPECT_EQ(pods.units[0].ports.size(), 9u) << "pod 1: 8 serial ports and a printer port";
  EXPECT_EQ(pods.units[0].ports.begin()->first, 18u);
}

TEST(TopologyFile, RefusalsSayTheLineAndTheReason) {
  struct Case {
    std::string text;
    int line;
    std::string reason;
  };
  const std::string unit = "qmx 0:2 QMX-16S-115A\n";
  const Case cases[] = {
      {"bus 0\n", 1, "unknown statement 'bus'"},
      {"qmx 0:2\n", 1, "qmx needs an address and a model"},
      {"qmx 0-2 QMX-16S-115A\n", 1, "'0-2' is no address ADAPTER:TARGET"},
      {"qmx 16:2 QMX-16S-115A\n", 1, "adapter 16 out of range 0-15"},
      {"qmx 0:16 QMX-16S-115A\n", 1, "target 16 out of range 0-15"},
      {"qmx 0:2 QMX-16S\n", 1, "unknown model 'QMX-16S'"},
      {"qmx 0:2 Lanvara8S-115A\n", 1, "Lanvara8S-115A is a Lanvara model, not a SCSI unit"},
      {unit + "qmx 0:2 QMX-8S-115A\n", 2, "address 0:2 is taken"},
      {unit + "device 0:2 disk\n", 2, "address 0:2 is taken"},
      {"qmx 0:2 QMX-16S-115A firmware=V2\n", 1, "firmware must have 4 characters"},
      {"qmx 0:2 QMX-16S-115A vendor=NINECHARS\n", 1, "vendor must have 1 to 8 characters"},
      {"qmx 0:2 QMX-16S-115A pods=1\n", 1, "QMX-16S-115A carries no pods"},
      {"qmx 0:2 QMX2-7POD-8S1P57 pods=0x80\n", 1, "pods must be a mask of pods 0-6"},
      {"qmx 0:2 QMX-16S-115A colour=red\n", 1, "unknown option 'colour'"},
      {"qmx 0:2 QMX-16S-115A fast\n", 1, "unknown word 'fast'"},
      {"qmx 0:2 QMX-16S-115A carrier=yes\n", 1, "carrier must be on or off, not 'yes'"},
      {"qmx 0:2 QMX-16S-115A carrier=on carrier=off\n", 1, "carrier given twice"},
      {"qmx 0:2 QMX-16S-115A vendor\n", 1, "vendor needs a value"},
      {"qmx 0:2 QMX-16S-115A redundant=1\n", 1, "redundant takes no value"},
      {"qmx 0:2 QMX-16S-115A product=\"open\n", 1, "unterminated quote"},
      {"port 0 loopback\n", 1, "port before any qmx or lanvara unit"},
      {"lanvara 127.0.0.2\n", 1, "lanvara needs an address and a model"},
      {"lanvara 10.0.0.5 Lanvara8S-115A\n", 1,
       "10.0.0.5 is no loopback address: modules listen on 127.0.0.0/8 only"},
      {"lanvara 127.0.0.256 Lanvara8S-115A\n", 1, "'127.0.0.256' is no IPv4 address"},
      {"lanvara 127.0.0.2 QMX-8S-115A\n", 1, "QMX-8S-115A is no Lanvara model"},
      {"lanvara 127.0.0.2 Lanvara8S-115A listen=65536\n", 1, "listen must be a TCP port"},
      {"lanvara 127.0.0.2 Lanvara8S-115A\nlanvara 127.0.0.2 Lanvara2S-230A listen=10001\n", 2,
       "127.0.0.2:10001 is taken"},
      {"lanvara 127.0.0.2 Lanvara8S-115A\n  port 8 loopback\n", 2,
       "port 8 beyond the 8 ports of Lanvara8S-115A"},
      {unit + "port 0\n", 2, "port needs ports and what is plugged in"},
      {unit + "port 16 loopback\n", 2, "port 16 beyond the 16 ports of QMX-16S-115A"},
      {unit + "port 3-1 loopback\n", 2, "'3-1' is no list of ports"},
      {unit + "port 1,,2 loopback\n", 2, "'1,,2' is no list of ports"},
      {unit + "port 0 modem\n", 2, "unknown far end 'modem'"},
      {unit + "port 0 file\n", 2, "file needs a path"},
      {unit + "port 0 file carrier=on\n", 2, "file needs a path"},
      {unit + "port 0-1 pty\n", 2, "a pty goes on one port"},
      {unit + "port all pty\n", 2, "a pty goes on one port"},
      {unit + "port 0 loopback carrier=on\n", 2, "a wired loopback plug drives carrier"},
      {unit + "port 0 pty nowire\n", 2, "unknown word 'nowire'"},
      {unit + "port 1-3 none\n\n  port 3 loopback\n", 4, "port 3 given twice (line 2)"},
      {unit + "port all none\nport all loopback\n", 3, "ports given 'all' twice"},
      {"qmx 0:2 QMX2-7POD-8S1P57 pods=0x01\n  port 18 loopback\n", 2,
       "port 18 is in pod 1, which is not fitted"},
      {"device 0:1 scanner\n", 1, "unknown device type 'scanner'"},
      {"device 0:1 32\n", 1, "unknown device type '32'"},
      {"device 0:1 disk revision=12345\n", 1, "revision must have 1 to 4 characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = qdhost::parse_topology("etc/top", c.text);
    const auto* e = std::get_if<TopologyError>(&r);
    ASSERT_NE(e, nullptr) << "accepted";
    EXPECT_EQ(e->line, c.line);
    EXPECT_NE(e->reason.find(c.reason), std::string::npos) << e->reason;
    EXPECT_EQ(e->text().rfind("etc/top:" + std::to_string(c.line) + ": ", 0), 0u) << e->text();
  }
}

TEST(TopologyFile, ThePortsOfAUnitWithGapsInItsLayout) {
  // A model whose table leaves a port number out has no port there.
  auto r = qdhost::parse_topology("t", "qmx 0:2 QMX-3P\n  port all none\n");
  ASSERT_TRUE(std::holds_alternative<Topology>(r));
  for (const auto& [line, p] : std::get<Topology>(r).units[0].ports) {
    auto bad = qdhost::parse_topology("t", "qmx 0:2 QMX-3P\n  port " + std::to_string(line) +
                                               " loopback\n");
    EXPECT_TRUE(std::holds_alternative<Topology>(bad)) << "port " << line << " exists";
  }
}

} // namespace
