// What the tools read from a unit (INQUIRY, pod inventory) and from an image file (header,
// product match, default name).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "firmware_file.h"
#include "tool_doubles.h"
#include "unit_identity.h"

namespace kvscsi::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Inquiry, VendorProductVersionAndPods) {
  struct Row {
    std::string vendor, product, revision;
    bool accepted;
    std::string want_product, want_version;
    int pod_capable;
  };
  const std::vector<Row> rows = {
      {"OrvaneCo", "QMX2-7POD-8S1P57", "V2.3", true, "QMX2-7POD-8S1P57", "V2.3", 1},
      {"Brannoc ", "QMX-8S1P-115A", "V1.9", true, "QMX-8S1P-115A", "V1.9", 0},
      {"BrannocX", "QMX-8S1P", "V1.9", true, "QMX-8S1P", "V1.9", 0},
      {"Orvane  ", "QMX-8S1P", "V1.9", false, "", "", 0},
      {"QUANTRIX", "QD-540S", "1.05", false, "", "", 0},
      {"OrvaneCo", "QM2 X", "V3.0", true, "QM2", "V3.0", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.vendor + "|" + r.product);
    kv_dev d{.bus = 2, .target = 4};
    EXPECT_EQ(evaluate_inquiry(inquiry_data(9, r.vendor, r.product, r.revision), d), r.accepted);
    EXPECT_EQ(d.product, r.want_product);
    EXPECT_EQ(d.version, r.want_version);
    EXPECT_EQ(d.pod_capable, r.pod_capable);
  }
}

TEST(Inventory, PresentEntriesBecomePodRecords) {
  Bytes inv(192, 0);
  auto entry = [&](int k, const char* product, const char* version) {
    std::memcpy(&inv[24 * k], product, std::strlen(product));
    std::memcpy(&inv[24 * k + 17], version, std::strlen(version));
  };
  entry(0, "QMX2-7POD-8S1P57", "V2.3");
  entry(1, "QMX-POD-8S1P    ", "V1.0  ");
  entry(4, "QMX-POD-8S1P\0abc", "V1.10b");
  entry(7, "POD7 TRAILING", "V9.9 x");
  inv[24 * 4 + 16] = 'Z'; // an unused byte between product and version
  const kv_dev main{.bus = 1, .target = 6, .product = "QMX2-7POD-8S1P57", .version = "V2.3"};
  const auto pods = pods_of(main, inv);
  ASSERT_EQ(pods.size(), 3u);
  const struct {
    int pod;
    const char* product;
    const char* version;
  } want[] = {{0, "QMX-POD-8S1P", "V1.0"}, {3, "QMX-POD-8S1P", "V1.10b"}, {6, "POD7", "V9.9"}};
  for (std::size_t i = 0; i < pods.size(); ++i) {
    EXPECT_EQ(pods[i].pod, want[i].pod);
    EXPECT_EQ(pods[i].product, want[i].product);
    EXPECT_EQ(pods[i].version, want[i].version);
    EXPECT_EQ(pods[i].bus, 1);
    EXPECT_EQ(pods[i].target, 6);
    EXPECT_EQ(pods[i].pod_capable, 1);
  }
}

Bytes image(const std::string& head, std::size_t size = 256) {
  Bytes b(size, 0);
  std::memcpy(b.data(), head.data(), std::min(head.size(), size));
  return b;
}

Bytes doubled(const Bytes& plain) {
  Bytes b;
  for (std::uint8_t c : plain) {
    b.insert(b.end(), {c, c});
  }
  return b;
}

TEST(FileHeader, ProductAndVersion) {
  Bytes late(256, '.');
  late[0] = 'A'; // not byte-doubled
  late[1] = 'B';
  late[125] = 'V'; // a version must start at byte 124 at the latest
  late[126] = '1';
  late[127] = '.';
  Bytes edge = late;
  edge[124] = 'V';
  edge[125] = '2';
  edge[126] = '.';
  struct Row {
    const char* name;
    Bytes bytes;
    bool ok;
    std::string product, version;
  };
  const std::vector<Row> rows = {
      {"plain", image("ZW-200 firmware V2.41 build"), true, "ZW-200", "V2.4"},
      {"first match wins", image("X VA.1 V.1 V3.x V4.0"), true, "X", "V3.x"},
      {"short file", image("ZW-200 V2.4", 255), false, "", ""},
      {"no version", image("ZW-200 v2.4 V2-4 V.24"), false, "", ""},
      {"version past byte 124", late, false, "", ""},
      {"version at byte 124", edge, true, "AB..............", "V2.."},
      {"product ends at NUL", image(std::string("AB\0CD V1.0", 10)), true, "AB", "V1.0"},
      {"product cut at 16", image("ABCDEFGHIJKLMNOPQRS V1.0"), true, "ABCDEFGHIJKLMNOP", "V1.0"},
      {"empty product", image(" ZW V1.0"), true, "", "V1.0"},
      {"byte-doubled", doubled(image("ZW-200 V2.4 more", 300)), true, "ZW-200", "V2.4"},
      // Past the doubled header's 128 bytes (file byte 256 on) nothing is looked at.
      {"byte-doubled, version beyond its header", doubled(image(std::string(130, 'A') + "V1.0")),
       false, "", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const auto h = parse_file_header(r.bytes);
    ASSERT_EQ(h.has_value(), r.ok);
    if (h) {
      EXPECT_EQ(h->product, r.product);
      EXPECT_EQ(h->version, r.version);
    }
  }
}

TEST(FileHeader, ReadFromAFileLeavesItAtTheStart) {
  const Bytes bytes = doubled(image("QMX-POD-8S1P V1.2", 200));
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  const FilePtr file(f);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  const auto h = get_file_header(f);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->product, "QMX-POD-8S1P");
  EXPECT_EQ(h->version, "V1.2");
  EXPECT_EQ(std::ftell(f), 0);
  EXPECT_EQ(std::fgetc(f), 'Q');

  const FilePtr small(std::tmpfile());
  ASSERT_EQ(std::fwrite(bytes.data(), 1, 255, small.get()), 255u);
  EXPECT_FALSE(get_file_header(small.get()).has_value());
}

TEST(ProductMatch, WildcardsAndLengths) {
  struct Row {
    const char* unit;
    const char* file;
    bool match;
  };
  const Row rows[] = {
      {"ZW-200", "ZW-2x0", true}, {"ZW-210", "ZW-2x0", true},  {"ZW-300", "ZW-2x0", false},
      {"ZW-200", "ZW-2", true},   {"ZW-200", "", true},        {"ZW-2x0", "ZW-250", true},
      {"ZW-20", "ZW-200", false}, {"zw-200", "ZW-200", false}, {"ZW-200", "X", false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(product_matches(r.unit, fw_header{r.file, "V1.0"}), r.match)
        << r.unit << " / " << r.file;
  }
}

TEST(FileName, FromTheProduct) {
  const std::pair<const char*, const char*> rows[] = {
      {"XY-100/ZW-200", "zw200.prm"},     {"QMX2-7POD-8S1P57", "qmx27pod8s1p57.prm"},
      {"QMX-POD-8S1P", "qmxpod8s1p.prm"}, {"A/B/C-D", "b/cd.prm"},
      {"NoDash", "nodash.prm"},           {"", ".prm"},
  };
  for (const auto& [product, name] : rows) {
    EXPECT_EQ(make_fw_name(product), name) << product;
  }
}

} // namespace
} // namespace kvscsi::test
