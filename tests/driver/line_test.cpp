// The node kind of a minor number.
#include "driver_fixture.h"

namespace {

TEST(NodeKind, ByMinorNumber) {
  const std::pair<minor_t, qd_node_kind> cases[] = {
      {0xffff, qd_node_kind::diag},      {0x2ffff, qd_node_kind::diag},
      {0x100ff, qd_node_kind::unitnode}, {0x11aff, qd_node_kind::unitnode},
      {0x1ffff, qd_node_kind::unitnode}, {0x301ff, qd_node_kind::unitnode},
      {0x001ff, qd_node_kind::refused},  {0x000ff, qd_node_kind::refused},
      {0x0f3ff, qd_node_kind::refused},  {0x00100, qd_node_kind::port},
      {0x2010f, qd_node_kind::port},     {0x10000, qd_node_kind::port},
      {0x312fe, qd_node_kind::port},
  };
  for (const auto& [minor, kind] : cases) {
    EXPECT_EQ(qd_minor_kind(minor), kind) << std::hex << minor;
  }
}

} // namespace
