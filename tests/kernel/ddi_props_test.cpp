// The device tree as the builder makes it, and property lookups through ddi_prop_op and
// ddi_getprop.
#include "kemu/ddi.h"
#include "ksys/ddi.h"
#include "ksys/termios.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using kemu::Ddi;
using kemu::TreeSpec;

int prop_len(dev_info_t* dip, const char* name, int flags = 0) {
  int len = -7;
  const int rc = ddi_prop_op(DDI_DEV_T_ANY, dip, PROP_LEN, flags, name, nullptr, &len);
  return rc == DDI_PROP_SUCCESS ? len : -rc;
}

TEST(DdiTree, AdaptersKeepOrderAndNumberPerName) {
  Ddi ddi(TreeSpec{.adapters = {"emhba", "pseudo2", "emhba"}, .pseudo = false});
  EXPECT_EQ(ddi.pseudo(), nullptr);
  EXPECT_EQ(ddi_root_node(), ddi.root());
  auto a = ddi.adapters();
  ASSERT_EQ(a.size(), 3u);
  EXPECT_STREQ(ddi_get_name(a[0]), "emhba");
  EXPECT_EQ(ddi_get_instance(a[0]), 0);
  EXPECT_EQ(ddi_get_parent(a[0]), ddi_root_node());
  EXPECT_STREQ(ddi_get_name(a[1]), "pseudo2");
  EXPECT_EQ(ddi_get_instance(a[1]), 0);
  EXPECT_EQ(ddi_get_instance(a[2]), 1);
  dev_info_t* late = ddi.add_adapter();
  EXPECT_EQ(ddi.adapters().back(), late);
  EXPECT_EQ(ddi_get_instance(late), 2);
}

TEST(DdiTree, AdapterTransportReachedFromChild) {
  Ddi ddi(TreeSpec{.adapters = TreeSpec::adapter_names(2)});
  int tran0 = 0;
  int tran1 = 0;
  auto a = ddi.adapters();
  ddi.set_transport(a[0], &tran0);
  ddi.set_transport(a[1], &tran1);
  dev_info_t* child = ddi.add_node(a[1], "qd");
  EXPECT_EQ(ddi.adapter_of(child), a[1]);
  EXPECT_EQ(ddi.transport(ddi.adapter_of(child)), &tran1);
  EXPECT_EQ(ddi.adapter_of(ddi.add_node(ddi.pseudo(), "qd")), nullptr);
}

TEST(DdiTree, InstancesSkipThoseTaken) {
  Ddi ddi;
  ddi.add_node(ddi.pseudo(), "qd", 1);
  EXPECT_EQ(ddi_get_instance(ddi.add_node(ddi.pseudo(), "qd")), 0);
  EXPECT_EQ(ddi_get_instance(ddi.add_node(ddi.adapters()[0], "qd")), 2);
  EXPECT_EQ(ddi_get_instance(ddi.add_node(ddi.pseudo(), "other")), 0);
}

TEST(DdiTtymodes, DefaultIsATermiosRecord) {
  Ddi ddi;
  char buf[256];
  int len = 255;
  ASSERT_EQ(
      ddi_prop_op(DDI_DEV_T_ANY, ddi_root_node(), PROP_LEN_AND_VAL_BUF, 0, "ttymodes", buf, &len),
      DDI_PROP_SUCCESS);
  ASSERT_EQ(len, 36);
  termios t;
  std::memcpy(&t, buf, sizeof t);
  EXPECT_EQ(t.c_cflag & CBAUD, B9600);
  EXPECT_EQ(t.c_cflag & CSIZE, CS8);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_EQ(t.c_cc[8], 0x11); // start
  EXPECT_EQ(t.c_cc[9], 0x13); // stop
}

TEST(DdiTtymodes, OmittedOrOtherLength) {
  {
    Ddi ddi(TreeSpec{.ttymodes = std::nullopt});
    char buf[256];
    int len = 255;
    EXPECT_EQ(
        ddi_prop_op(DDI_DEV_T_ANY, ddi_root_node(), PROP_LEN_AND_VAL_BUF, 0, "ttymodes", buf, &len),
        DDI_PROP_NOT_FOUND);
  }
  {
    Ddi ddi(TreeSpec{.ttymodes = std::vector<std::uint8_t>(300, 0xab)});
    char buf[256];
    int len = 255;
    EXPECT_EQ(
        ddi_prop_op(DDI_DEV_T_ANY, ddi_root_node(), PROP_LEN_AND_VAL_BUF, 0, "ttymodes", buf, &len),
        DDI_PROP_BUF_TOO_SMALL);
    EXPECT_EQ(len, 300);
  }
}

// Copy rules of PROP_LEN_AND_VAL_BUF against the room given.
TEST(DdiPropOp, CopiesOnlyWhatFits) {
  Ddi ddi;
  dev_info_t* n = ddi.add_node(ddi.pseudo(), "qd");
  ddi.set_prop(n, "vrn0", "Model,10.0.0.5"); // 14 characters and the NUL
  ddi.set_prop(n, "forceload", 0x12345678);
  ddi.set_prop_bytes(n, "empty", {});
  struct Case {
    const char* name;
    int room;
    int want_rc;
    int want_len;
    std::string want_bytes; // what must be in the buffer afterwards
  };
  const int i = 0x12345678;
  const std::string ibytes(reinterpret_cast<const char*>(&i), sizeof i);
  const Case cases[] = {
      {"vrn0", 15, DDI_PROP_SUCCESS, 15, std::string("Model,10.0.0.5\0", 15)},
      {"vrn0", 119, DDI_PROP_SUCCESS, 15, std::string("Model,10.0.0.5\0", 15)},
      {"vrn0", 14, DDI_PROP_BUF_TOO_SMALL, 15, std::string(14, '#')},
      {"vrn0", 0, DDI_PROP_BUF_TOO_SMALL, 15, std::string(4, '#')},
      {"forceload", 4, DDI_PROP_SUCCESS, 4, ibytes},
      {"forceload", 3, DDI_PROP_BUF_TOO_SMALL, 4, std::string(3, '#')},
      {"empty", 0, DDI_PROP_SUCCESS, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " room " + std::to_string(c.room));
    std::string buf(128, '#');
    int len = c.room;
    EXPECT_EQ(ddi_prop_op(DDI_DEV_T_ANY, n, PROP_LEN_AND_VAL_BUF, DDI_PROP_DONTPASS, c.name,
                          buf.data(), &len),
              c.want_rc);
    EXPECT_EQ(len, c.want_len);
    EXPECT_EQ(buf.substr(0, c.want_bytes.size()), c.want_bytes);
    EXPECT_EQ(buf[std::max(c.want_len, c.room)], '#') << "wrote past the value";
  }
}

TEST(DdiPropOp, NotFoundLeavesLengthAndBadArgumentsRefused) {
  Ddi ddi;
  dev_info_t* n = ddi.add_node(ddi.pseudo(), "qd");
  char buf[8];
  int len = 8;
  EXPECT_EQ(ddi_prop_op(DDI_DEV_T_ANY, n, PROP_LEN_AND_VAL_BUF, 0, "vrn1", buf, &len),
            DDI_PROP_NOT_FOUND);
  EXPECT_EQ(len, 8);
  ddi.set_prop(n, "x", 1);
  EXPECT_EQ(ddi_prop_op(DDI_DEV_T_ANY, n, PROP_LEN_AND_VAL_BUF, 0, "x", buf, nullptr),
            DDI_PROP_INVAL_ARG);
  EXPECT_EQ(ddi_prop_op(DDI_DEV_T_ANY, n, PROP_LEN_AND_VAL_BUF, 0, "x", nullptr, &len),
            DDI_PROP_INVAL_ARG);
  EXPECT_EQ(ddi_prop_op(DDI_DEV_T_ANY, n, PROP_LEN_AND_VAL_BUF, 0, nullptr, buf, &len),
            DDI_PROP_INVAL_ARG);
}

// Lookup reaches parents unless DONTPASS; the nearest node wins.
TEST(DdiPropSearch, DontPassStopsAtTheNode) {
  Ddi ddi;
  dev_info_t* adapter = ddi.adapters()[0];
  dev_info_t* child = ddi.add_node(adapter, "qd");
  ddi.set_prop(adapter, "scsi-options", 7);
  ddi.set_prop(ddi.root(), "scsi-options", 9);
  ddi.set_prop(child, "lun", 0);

  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, child, 0, "scsi-options", -1), 7);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, child, DDI_PROP_DONTPASS, "scsi-options", -1), -1);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, child, DDI_PROP_DONTPASS, "lun", -1), 0);
  EXPECT_EQ(prop_len(child, "ttymodes"), 36);
  EXPECT_EQ(prop_len(child, "ttymodes", DDI_PROP_DONTPASS), -DDI_PROP_NOT_FOUND);
  EXPECT_EQ(prop_len(ddi_root_node(), "ttymodes", DDI_PROP_DONTPASS), 36);

  ddi.remove_prop(adapter, "scsi-options");
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, child, 0, "scsi-options", -1), 9);
}

TEST(DdiGetprop, IntegersFlagsAndNonIntegers) {
  Ddi ddi;
  dev_info_t* n = ddi.add_node(ddi.pseudo(), "qd");
  ddi.set_prop(n, "neg", -5);
  ddi.set_prop(n, "zero", 0);
  ddi.set_prop(n, "text", "1");
  ddi.set_prop_bytes(n, "flag", {});
  const std::uint8_t two[2] = {1, 0};
  ddi.set_prop_bytes(n, "short", two);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, n, DDI_PROP_DONTPASS, "neg", 3), -5);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, n, DDI_PROP_DONTPASS, "zero", 3), 0);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, n, DDI_PROP_DONTPASS, "text", 3), 3);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, n, DDI_PROP_DONTPASS, "flag", 3), 1);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, n, DDI_PROP_DONTPASS, "short", 3), 3);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, n, DDI_PROP_DONTPASS, "absent", 3), 3);
  // A later value replaces the earlier one.
  ddi.set_prop(n, "neg", 8);
  EXPECT_EQ(ddi_getprop(DDI_DEV_T_ANY, n, DDI_PROP_DONTPASS, "neg", 3), 8);
}

} // namespace
