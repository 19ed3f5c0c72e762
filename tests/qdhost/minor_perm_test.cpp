// The node permission table: which entry names a node, and refusing a malformed file with
// where and why.
#include "qdhost/minor_perm.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qdhost::MinorPermError;
using qdhost::MinorPerms;

TEST(MinorPerm, TheFirstMatchingEntryDecidesAndUnlistedNodesAreRootsAlone) {
  auto parsed = qdhost::parse_minor_perm("perm", "# ports\n"
                                                 "tty*  0666 root 0   # dial-in and out\n"
                                                 "\n"
                                                 "ttyc2[0-3] 0600 0 root\n"
                                                 "qmxdiag 0640 65534 65534\n");
  ASSERT_TRUE(std::holds_alternative<MinorPerms>(parsed))
      << std::get<MinorPermError>(parsed).text();
  const MinorPerms& p = std::get<MinorPerms>(parsed);
  struct Case {
    const char* node;
    mode_t mode;
    uid_t owner;
  };
  const Case cases[] = {
      {"ttyc20,cu", 0666, 0}, {"ttyc21", 0666, 0}, {"qmxdiag", 0640, 65534}, {"vrnn0", 0600, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node);
    EXPECT_EQ(p.for_node(c.node).mode, c.mode);
    EXPECT_EQ(p.for_node(c.node).owner, c.owner);
  }
}

TEST(MinorPerm, AMalformedLineIsRefusedWithWhereAndWhy) {
  struct Case {
    const char* text;
    const char* want;
  };
  const Case cases[] = {
      {"tty* 0666 root\n", "perm:1: expected PATTERN MODE OWNER GROUP, not 3 words"},
      {"# fine\ntty* 0668 root root\n", "perm:2: mode '0668' is no octal"},
      {"tty* 01666 root root\n", "perm:1: mode '01666'"},
      {"tty* 0666 nosuchuser root\n", "perm:1: unknown user 'nosuchuser'"},
      {"tty* 0666 root nosuchgroup\n", "perm:1: unknown group 'nosuchgroup'"},
      {"a/b 0666 root root\n", "perm:1: pattern 'a/b' holds a '/'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = qdhost::parse_minor_perm("perm", c.text);
    ASSERT_TRUE(std::holds_alternative<MinorPermError>(parsed));
    EXPECT_EQ(std::get<MinorPermError>(parsed).text().rfind(c.want, 0), 0u)
        << std::get<MinorPermError>(parsed).text();
  }
}

} // namespace
