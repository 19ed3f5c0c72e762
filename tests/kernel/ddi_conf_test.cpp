// driver.conf files: syntax, errors with file and line, and what a file does to the tree.
#include "kemu/ddi.h"
#include "kemu/driver_conf.h"
#include "ksys/ddi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kemu::Ddi;
using kemu::TreeSpec;

std::string string_prop(dev_info_t* dip, const char* name, int flags = DDI_PROP_DONTPASS) {
  char buf[119];
  int len = sizeof buf;
  if (ddi_prop_op(DDI_DEV_T_ANY, dip, PROP_LEN_AND_VAL_BUF, flags, name, buf, &len) !=
      DDI_PROP_SUCCESS) {
    return "<none>";
  }
  return std::string(buf, static_cast<std::size_t>(len));
}

int int_prop(dev_info_t* dip, const char* name) {
  return ddi_getprop(DDI_DEV_T_ANY, dip, DDI_PROP_DONTPASS, name, -99);
}

TEST(DriverConfParse, ValuesAndLayout) {
  const char* text = "# header comment\n"
                     "forceload=1; allow_unload=0x1F;\n"
                     "neg=-12;   big=0xffffffff; max=2147483647; min=-2147483648;\n"
                     "vrn1a=\"OrvaneLV8,  10.0.0.5\"; # trailing comment\n"
                     "quote=\"a\\\"b\\\\c # not a comment\";\n"
                     "name=\"qd\"\n"
                     "   class=\"scsi\"   # a comment inside an entry\n"
                     "   target=2 lun=0\n"
                     ";\n";
  kemu::ConfFile f = kemu::parse_driver_conf("qd.conf", text);
  ASSERT_FALSE(f.error) << f.error->text();
  ASSERT_EQ(f.entries.size(), 9u);
  struct Want {
    std::size_t entry;
    const char* name;
    bool is_string;
    std::int32_t number;
    const char* text;
    int line;
  };
  const Want want[] = {
      {0, "forceload", false, 1, "", 2},
      {1, "allow_unload", false, 31, "", 2},
      {2, "neg", false, -12, "", 3},
      {3, "big", false, -1, "", 3},
      {4, "max", false, 2147483647, "", 3},
      {5, "min", false, INT32_MIN, "", 3},
      {6, "vrn1a", true, 0, "OrvaneLV8,  10.0.0.5", 4},
      {7, "quote", true, 0, "a\"b\\c # not a comment", 5},
  };
  for (const Want& w : want) {
    SCOPED_TRACE(w.name);
    const kemu::ConfProp* p = f.entries[w.entry].find(w.name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->value.is_string, w.is_string);
    EXPECT_EQ(p->value.number, w.number);
    EXPECT_EQ(p->value.text, w.text);
    EXPECT_EQ(p->line, w.line);
    EXPECT_FALSE(f.entries[w.entry].is_node());
  }
  const kemu::ConfEntry& node = f.entries[8];
  EXPECT_TRUE(node.is_node());
  EXPECT_EQ(node.line, 6);
  EXPECT_EQ(node.props.size(), 4u);
  EXPECT_EQ(node.find("lun")->line, 8);
}

// Every malformed text names the file, the line and why.
TEST(DriverConfParse, ErrorsNameLineAndReason) {
  struct Case {
    const char* text;
    int line;
    const char* reason; // a part of the reason
  };
  const Case cases[] = {
      {"forceload=1", 1, "missing ';'"},
      {"forceload=1;\nallow_unload=1\n\n", 2, "missing ';'"},
      {"name=\"qd\" parent=\"pseudo\"\nname=\"qd\" class=\"scsi\";", 2, "'name' given twice"},
      {"a=1 ! b=2;", 1, "unexpected '!'"},
      {"vrn0=\"Model,10.0.0.5;\nforceload=1;", 1, "unterminated string"},
      {"vrn0=\"Model", 1, "unterminated string"},
      {"\n\nforceload=;", 3, "missing value for 'forceload'"},
      {"forceload=", 1, "missing value for 'forceload'"},
      {"forceload\n=\n;", 1, "missing value"},
      {"forceload;", 1, "expected '=' after 'forceload'"},
      {"forceload 1;", 1, "expected '='"},
      {"x=abc;", 1, "must be a number or a quoted string"},
      {"=1;", 1, "expected a property name"},
      {";", 1, "expected a property name"},
      {"x=12ab;", 1, "bad number '12ab'"},
      {"x=0x;", 1, "bad number '0x'"},
      {"x=0x1g;", 1, "bad number"},
      {"x=-;", 1, "bad number"},
      {"x=2147483648;", 1, "out of range"},
      {"x=-2147483649;", 1, "out of range"},
      {"x=0x100000000;", 1, "out of range"},
      {"x=99999999999999999999999;", 1, "out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    kemu::ConfFile f = kemu::parse_driver_conf("qd.conf", c.text);
    ASSERT_TRUE(f.error);
    EXPECT_TRUE(f.entries.empty());
    EXPECT_EQ(f.error->file, "qd.conf");
    EXPECT_EQ(f.error->line, c.line);
    EXPECT_NE(f.error->reason.find(c.reason), std::string::npos) << f.error->reason;
    EXPECT_EQ(f.error->text().rfind("qd.conf:" + std::to_string(c.line) + ": ", 0), 0u);
  }
}

TEST(DriverConf, GlobalsOnEveryNodeOfTheDriverOnly) {
  Ddi ddi(TreeSpec{.adapters = TreeSpec::adapter_names(2)});
  auto err = ddi.load_conf("qd", "qd.conf",
                           "forceload=1;\nallow_unload=1;\nvrn1a=\"Model,10.0.0.5\";\n"
                           "name=\"qd\" parent=\"pseudo\" instance=0;\n"
                           "name=\"qd\" class=\"scsi\" target=2 lun=0;\n");
  ASSERT_FALSE(err) << err->text();
  auto nodes = ddi.nodes_of("qd");
  ASSERT_EQ(nodes.size(), 3u);
  for (dev_info_t* n : nodes) {
    SCOPED_TRACE(ddi_get_instance(n));
    EXPECT_EQ(int_prop(n, "forceload"), 1);
    EXPECT_EQ(int_prop(n, "allow_unload"), 1);
    EXPECT_EQ(string_prop(n, "vrn1a"), std::string("Model,10.0.0.5\0", 15));
  }
  // Nodes of other names do not see them.
  EXPECT_EQ(int_prop(ddi.pseudo(), "forceload"), -99);
  EXPECT_EQ(int_prop(ddi.adapters()[0], "forceload"), -99);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, ddi.add_node(ddi.pseudo(), "other"), 0, "forceload", -99),
            -99);
  // A node of the driver made later sees them too.
  EXPECT_EQ(int_prop(ddi.add_node(ddi.pseudo(), "qd"), "forceload"), 1);
}

TEST(DriverConf, NodeEntriesPlaceNodes) {
  Ddi ddi(TreeSpec{.adapters = {"emhba", "pseudo2", "emhba"}});
  auto err = ddi.load_conf("qd", "qd.conf",
                           "name=\"qd\" class=\"scsi\" target=2 lun=0;\n"
                           "name=\"qd\" parent=\"pseudo\" instance=0 flavour=\"plain\";\n"
                           "name=\"qd\" class=\"scsi\" target=0x0f lun=1;\n");
  ASSERT_FALSE(err) << err->text();
  auto adapters = ddi.adapters();

  // Under the pseudo nexus: one child with the instance given and its own property.
  auto pc = ddi.children(ddi.pseudo());
  ASSERT_EQ(pc.size(), 1u);
  EXPECT_STREQ(ddi_get_name(pc[0]), "qd");
  EXPECT_EQ(ddi_get_instance(pc[0]), 0);
  EXPECT_EQ(string_prop(pc[0], "flavour"), std::string("plain\0", 6));
  EXPECT_EQ(string_prop(pc[0], "name"), "<none>");
  EXPECT_EQ(string_prop(pc[0], "parent"), "<none>");

  // Under every adapter, whatever its name, one child per scsi entry, in file order.
  std::vector<int> instances;
  for (dev_info_t* a : adapters) {
    auto kids = ddi.children(a);
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(int_prop(kids[0], "target"), 2);
    EXPECT_EQ(int_prop(kids[0], "lun"), 0);
    EXPECT_EQ(int_prop(kids[1], "target"), 15);
    EXPECT_EQ(int_prop(kids[1], "lun"), 1);
    EXPECT_EQ(string_prop(kids[0], "class"), "<none>");
    EXPECT_EQ(ddi.adapter_of(kids[0]), a);
    instances.push_back(ddi_get_instance(kids[0]));
    instances.push_back(ddi_get_instance(kids[1]));
  }
  // Instances are unique; 0 was kept for the pseudo entry although it came second.
  std::sort(instances.begin(), instances.end());
  EXPECT_EQ(instances, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

TEST(DriverConf, NoAdaptersMeansNoScsiChildren) {
  Ddi ddi(TreeSpec{.adapters = {}});
  ASSERT_FALSE(ddi.load_conf("qd", "qd.conf", "name=\"qd\" class=\"scsi\" target=1 lun=0;"));
  EXPECT_TRUE(ddi.nodes_of("qd").empty());
}

// Meaning errors are found before anything is applied.
TEST(DriverConf, RefusedFileAppliesNothing) {
  struct Case {
    const char* text;
    int line;
    const char* reason;
  };
  const Case cases[] = {
      {"forceload=1;\nname=\"qd\" parent=\"nexus9\";", 2, "unknown parent \"nexus9\""},
      {"forceload=1;\nname=\"qd\" class=\"ide\" target=1 lun=0;", 2, "unknown class \"ide\""},
      {"forceload=1;\nname=\"qd\" class=\"scsi\" lun=0;", 2, "needs 'target'"},
      {"forceload=1;\nname=\"qd\" class=\"scsi\"\n target=\"2\" lun=0;", 3,
       "'target' must be a non-negative integer"},
      {"forceload=1;\nname=\"qd\";", 2, "needs 'parent' or 'class'"},
      {"forceload=1;\nname=\"qd\" parent=\"pseudo\" class=\"scsi\";", 2, "both"},
      {"forceload=1;\nname=\"xx\" parent=\"pseudo\";", 2, "is not the driver \"qd\""},
      {"forceload=1;\nname=1 parent=\"pseudo\";", 2, "'name' must be a string"},
      {"forceload=1;\nname=\"qd\" parent=\"pseudo\" instance=-1;", 2, "non-negative"},
      {"forceload=1;\nname=\"qd\" class=\"scsi\" target=1 lun=0 instance=3;", 2,
       "would be given to 2 nodes"},
      {"name=\"qd\" parent=\"pseudo\" instance=1;\nname=\"qd\" parent=\"pseudo\" instance=1;", 2,
       "instance 1 already used"},
      {"forceload=1;\n\nforceload=0;", 3, "already set at line 1"},
      {"forceload=1;\nname=\"qd\" parent=\"pseudo\"", 2, "missing ';'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Ddi ddi(TreeSpec{.adapters = TreeSpec::adapter_names(2)});
    auto err = ddi.load_conf("qd", "/etc/qd.conf", c.text);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->file, "/etc/qd.conf");
    EXPECT_EQ(err->line, c.line);
    EXPECT_NE(err->reason.find(c.reason), std::string::npos) << err->reason;
    EXPECT_TRUE(ddi.nodes_of("qd").empty());
    EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, ddi.add_node(ddi.pseudo(), "qd"), 0, "forceload", -1), -1);
  }
}

TEST(DriverConf, LaterFileReplacesEarlierOne) {
  Ddi ddi(TreeSpec{.adapters = TreeSpec::adapter_names(1)});
  dev_info_t* own = ddi.add_node(ddi.pseudo(), "qd", 0); // not from a conf file
  ASSERT_FALSE(ddi.load_conf("qd", "qd.conf",
                             "forceload=1; allow_unload=1;\n"
                             "name=\"qd\" class=\"scsi\" target=3 lun=0;"));
  EXPECT_EQ(ddi.nodes_of("qd").size(), 2u);
  // An instance number already held by a node that stays is refused.
  auto err = ddi.load_conf("qd", "qd.conf", "name=\"qd\" parent=\"pseudo\" instance=0;");
  ASSERT_TRUE(err);
  EXPECT_EQ(ddi.nodes_of("qd").size(), 2u);
  EXPECT_EQ(int_prop(own, "allow_unload"), 1);

  ASSERT_FALSE(ddi.load_conf("qd", "qd.conf", "forceload=0;"));
  auto nodes = ddi.nodes_of("qd");
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0], own);
  EXPECT_EQ(int_prop(own, "forceload"), 0);
  EXPECT_EQ(int_prop(own, "allow_unload"), -99);
}

} // namespace
