// Device nodes of SCSI, pod and Lanvara units, the Lanvara entries of qd.conf, and what a
// failing node creation leaves.
#include <algorithm>
#include <map>

#include "loaded_driver_fixture.h"

namespace loaded_test {
namespace {

using Nodes = LoadedDriverFixture;

struct NodeInfo {
  minor_t minor;
  std::string type;
};

std::map<std::string, NodeInfo> nodes_by_name(const kemu::Ddi& ddi) {
  std::map<std::string, NodeInfo> out;
  for (const kemu::MinorNode& m : ddi.minor_nodes()) {
    EXPECT_EQ(m.spec_type, S_IFCHR) << m.name;
    EXPECT_EQ(m.flag, 0) << m.name << " is no clone node";
    out[m.name] = {getminor(m.dev), m.node_type};
  }
  return out;
}

std::string hex(unsigned v) {
  static const char digits[] = "0123456789abcdef";
  return std::string(1, digits[v]);
}

TEST_F(Nodes, PortsOfAUnitWithoutPodsThenTheirDialOutNodes) {
  topo_->add_qmx(0, 1, {{.model = "QMX-16S-115A"}});
  EXPECT_EQ(load("allow_unload=1;\n", false),
            (std::vector<kemu::Attach>{kemu::Attach::kAttached, kemu::Attach::kProbeFailed}));

  // No pseudo instance: the first unit to attach carries the diagnostic node.
  std::vector<std::string> want = {"qmxdiag"};
  for (unsigned i = 0; i < 16; ++i) {
    want.push_back("ttyc1" + hex(i));
  }
  for (unsigned i = 0; i < 16; ++i) {
    want.push_back("ttyc1" + hex(i) + ",cu");
  }
  EXPECT_EQ(node_names(), want);
  const auto nodes = nodes_by_name(*ddi_);
  EXPECT_EQ(nodes.at("qmxdiag").minor, 0xffffu);
  EXPECT_EQ(nodes.at("qmxdiag").type, "ddi_pseudo");
  for (unsigned i = 0; i < 16; ++i) {
    EXPECT_EQ(nodes.at("ttyc1" + hex(i)).minor, 0x100 + i);
    EXPECT_EQ(nodes.at("ttyc1" + hex(i)).type, "ddi_serial");
    EXPECT_EQ(nodes.at("ttyc1" + hex(i) + ",cu").minor, 0x20100 + i);
    EXPECT_EQ(nodes.at("ttyc1" + hex(i) + ",cu").type, "ddi_serial:dialout");
  }
}

TEST_F(Nodes, PodAndPrinterNamesCarryTheBusLetter) {
  // Targets 3 and 4 are children of both adapters; the empty ones on adapter 0 come first,
  // so adapter 1 is bus 1 ('d').
  topo_->add_qmx(1, 3, {{.model = "QMX2-7POD-8S1P57"}});
  topo_->add_qmx(1, 4, {{.model = "QMX-8S1P-115A"}});
  load("forceload=1;\nallow_unload=1;\n");
  const auto nodes = nodes_by_name(*ddi_);
  const std::vector<std::string> names = node_names();
  const auto at = [&](const std::string& n) {
    return std::find(names.begin(), names.end(), n) - names.begin();
  };

  // Pod 2, port 4 of the pod: port 40. Its dial-out node follows it at once.
  EXPECT_EQ(nodes.at("ttyd324").minor, 0x1328u);
  EXPECT_EQ(nodes.at("ttyd324,cu").minor, 0x21328u);
  EXPECT_EQ(at("ttyd324,cu"), at("ttyd324") + 1);
  EXPECT_EQ(nodes.at("lpd308").minor, 0x1308u) << "the printer of pod 0";
  EXPECT_EQ(nodes.at("lpd308").type, "ddi_pseudo");
  EXPECT_EQ(nodes.count("lpd308,cu"), 0u);
  EXPECT_EQ(nodes.count("ttyd309"), 0u) << "port numbers 9-17 of a pod have no port";
  EXPECT_EQ(nodes.at("ttyd366").minor, 0x1300u + 6 * 18 + 6) << "pod 6 port 6";
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) { return n.starts_with("ttyd3"); }),
            7 * 8 * 2);

  EXPECT_EQ(nodes.at("lpd48").minor, 0x1408u);
  EXPECT_EQ(nodes.count("lpd48,cu"), 0u);
  EXPECT_EQ(nodes.at("ttyd47,cu").minor, 0x21407u);
}

TEST_F(Nodes, ModelWithMorePortsThanDigitsGetsTwoDigitNames) {
  topo_->add_qmx(0, 2, {{.model = "QMX-126S-115"}});
  load("allow_unload=1;\n", false);
  const auto nodes = nodes_by_name(*ddi_);
  EXPECT_EQ(nodes.size(), 1u + 126 * 2) << "every port and its dial-out node, names unique";
  EXPECT_EQ(nodes.at("ttyc2v").minor, 0x21fu);
  EXPECT_EQ(nodes.at("ttyc210").minor, 0x220u);
  EXPECT_EQ(nodes.at("ttyc23t,cu").minor, 0x2027du);
}

// Lanvara entries of qd.conf: the console names each unit made, and each entry refused for
// its address; a model that is no Lanvara model is skipped without a word.
TEST_F(Nodes, LanvaraEntriesOfTheConfigurationFile) {
  const auto results = load("vrn0=\"Lanvara8S-115A,10.0.0.4\";\n"
                            "vrn1a=\"Lanvara8S-115A, 10.0.0.5\";\n"
                            "vrn2=\"Lanvara8S-115A,nodigits\";\n"
                            "vrn3=\"Lanvara8S-115A 10.0.0.6\";\n"
                            "vrn4=\"QMX-8S-115A,10.0.0.7\";\n"
                            "vrn5=\"Lanvara8S-115A,0.0.0.0\";\n"
                            "vrn6=\"Lanvara9S,10.0.0.8\";\n"
                            "vrnff=\"Lanvara16S-230A,x192.168.1.255\";\n"
                            "allow_unload=1;\n");
  EXPECT_EQ(results, std::vector<kemu::Attach>{kemu::Attach::kAttached});
  const std::string text = console();
  EXPECT_NE(text.find("Orvane Lanvara8S-115A (vrn0) at IP address 10.0.0.4\n"
                      "qd: invalid IP address for vrn2\n"
                      "qd: invalid IP address for vrn3\n"
                      "qd: invalid IP address for vrn5\n"
                      "Orvane Lanvara8S-115A (vrn1a) at IP address 10.0.0.5\n"
                      "Orvane Lanvara16S-230A (vrnff) at IP address 192.168.1.255\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("vrn4"), std::string::npos);
  EXPECT_EQ(text.find("vrn6"), std::string::npos);

  for (int n = 0; n < 256; ++n) {
    const bool made = n == 0 || n == 0x1a || n == 0xff;
    EXPECT_EQ(vrn_unit(n) != nullptr, made) << n;
  }
  const qd_unit* up = vrn_unit(0x1a);
  EXPECT_EQ(up->qdu_flags, QDU_LANVARA | QDU_OFFLINE);
  EXPECT_EQ(up->qdu_target, 0x1a);
  EXPECT_EQ(up->qdu_bus, -1);
  const auto* ip = reinterpret_cast<const unsigned char*>(&up->qdu_ipaddr);
  EXPECT_EQ((Bytes{ip, ip + 4}), (Bytes{10, 0, 0, 5}));
  ASSERT_NE(up->qdu_rcvpkt, nullptr);
  EXPECT_EQ(up->qdu_rcvpkt->space_remaining, QD_VRN_RCV_SPACE);

  const auto nodes = nodes_by_name(*ddi_);
  for (unsigned i = 0; i < 8; ++i) {
    EXPECT_EQ(nodes.at("ttyn0" + hex(i)).minor, 0x10000 + i);
    EXPECT_EQ(nodes.at("ttyn0" + hex(i) + ",cu").minor, 0x30000 + i);
    EXPECT_EQ(nodes.at("ttyn1a" + hex(i)).minor, 0x11a00 + i);
  }
  EXPECT_EQ(nodes.at("vrnn0").minor, 0x100ffu);
  EXPECT_EQ(nodes.at("vrnn0").type, "ddi_pseudo");
  EXPECT_EQ(nodes.at("vrnn1a").minor, 0x11affu);
  EXPECT_EQ(nodes.at("ttynfff,cu").minor, 0x3ff0fu);
  EXPECT_EQ(nodes.count("qmxdiag"), 1u);
}

// Memory for the unit record but none for a packet: the entry is skipped, never left
// without a receive packet.
TEST_F(Nodes, LanvaraEntryWithoutAReceivePacketIsSkipped) {
  kernel_.fail_kmem_after(sizeof(qd_unit) + sizeof(qd_line*) * QD_VRN_NLINES +
                          2 * sizeof(qd_mem_hdr) + 64);
  load("vrn0=\"Lanvara8S-115A,10.0.0.4\";\nallow_unload=1;\n");
  kernel_.clear_kmem_faults();
  EXPECT_NE(console().find("qd: No memory for vrn0's receive packet!\n"), std::string::npos);
  EXPECT_EQ(vrn_unit(0), nullptr);
  EXPECT_EQ(node_names(), std::vector<std::string>{"qmxdiag"});
}

TEST_F(Nodes, PseudoInstanceOnlyWhenTheConfigurationAsksForIt) {
  topo_->add_qmx(0, 2, {{.model = "QMX-8S-115A"}});
  const auto results = load("allow_unload=1;\n");
  EXPECT_EQ(results,
            (std::vector<kemu::Attach>{kemu::Attach::kNotIdentified, kemu::Attach::kAttached,
                                       kemu::Attach::kProbeFailed}));
  const auto names = node_names();
  EXPECT_EQ(names.front(), "qmxdiag") << "made once, by the unit that attached";
  EXPECT_EQ(std::count(names.begin(), names.end(), "qmxdiag"), 1);
}

// A failed node takes every node of its instance, the diagnostic and Lanvara unit nodes
// too; the next attach makes those again, and the failed unit attaches later with the
// record and receive packet probe gave it.
TEST_F(Nodes, FailedNodeCreationLeavesTheDriverItsDiagnosticNode) {
  topo_->add_qmx(0, 2, {{.model = "QMX-8S-115A"}});
  topo_->add_qmx(0, 3, {{.model = "QMX-4S-115A"}});
  ASSERT_FALSE(ddi_->load_conf("qd", "qd.conf",
                               "vrn0=\"Lanvara2S-230A,10.0.0.9\";\nallow_unload=1;\n" +
                                   topo_->conf_nodes()));
  scsa_->configure();
  ASSERT_EQ(ddi_->load(qd_module_image()), 0);
  // qmxdiag, ttyn00, ttyn01, their dial-out nodes, vrnn0, ttyc20: the 7th fails.
  ddi_->fail_minor_node_nth(7);
  EXPECT_EQ(ddi_->attach(child(0, 2)), kemu::Attach::kAttachFailed);
  EXPECT_TRUE(node_names().empty());
  EXPECT_EQ(ddi_->attach(child(0, 3)), kemu::Attach::kAttached);
  auto names = node_names();
  EXPECT_EQ(
      std::vector<std::string>(names.begin(), names.begin() + 6),
      (std::vector<std::string>{"qmxdiag", "ttyn00", "ttyn01", "ttyn00,cu", "ttyn01,cu", "vrnn0"}));
  EXPECT_EQ(names.back(), "ttyc33,cu");

  qd_unit* first = scsi_unit(0, 2);
  qd_pkt* rcv = first->qdu_rcvpkt;
  ASSERT_NE(rcv, nullptr);
  EXPECT_EQ(ddi_->attach(child(0, 2)), kemu::Attach::kAttached);
  EXPECT_EQ(scsi_unit(0, 2), first);
  EXPECT_EQ(first->qdu_rcvpkt, rcv);
  EXPECT_EQ(nodes_by_name(*ddi_).at("ttyc27,cu").minor, 0x20207u);
  names = node_names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "qmxdiag"), 1);
}

} // namespace
} // namespace loaded_test
