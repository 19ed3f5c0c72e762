// Reprogramming a unit and its pods with WRITE BUFFER mode 5, as the update tool does it,
// and what READ BUFFER mode 1 reports: the pod inventory and the vendor status words.
#include "scsi_unit_fixture.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

namespace qdemu::test {
namespace {

using namespace vendor_bit;

// An image whose header names a product and a version; the rest is filler.
Bytes image(std::string_view header, std::size_t size = 300) {
  Bytes b(size, 0xAA);
  std::copy_n(header.begin(), std::min(header.size(), size), b.begin());
  return b;
}

Bytes doubled(const Bytes& plain) {
  Bytes b;
  for (std::uint8_t c : plain) {
    b.push_back(c);
    b.push_back(c);
  }
  return b;
}

class Flash : public ScsiUnitTest {
protected:
  static constexpr const char* kPodModel = "QMX2-7POD-8S1P57";

  QmxUnit& pod_unit(std::uint8_t pods = 0x25, const char* firmware = "V2.3") {
    QmxUnit& u = add_unit({{.model = kPodModel, .firmware = firmware, .pods = pods}});
    wake();
    return u;
  }
  // Select, then blocks of 128 bytes in order; false at the first step refused.
  bool download(std::uint8_t mask, const Bytes& img) {
    if (!run(cdb_write_buffer(1, std::uint32_t{mask} << 16, img.size())).good())
      return false;
    for (std::size_t off = 0; off < img.size(); off += 128) {
      const std::size_t n = std::min<std::size_t>(128, img.size() - off);
      const Bytes block(img.begin() + static_cast<std::ptrdiff_t>(off),
                        img.begin() + static_cast<std::ptrdiff_t>(off + n));
      if (!run(cdb_write_buffer(2, off, n), block).good())
        return false;
    }
    return true;
  }
  Bytes inventory(std::uint32_t alloc = 192) {
    return run(cdb_read_buffer(1, alloc), {}, 233).data;
  }
  std::uint16_t word(unsigned unit) {
    const Bytes s = run(cdb_read_buffer(0, 16), {}, 233).data;
    EXPECT_EQ(s.size(), 16u);
    return static_cast<std::uint16_t>(s.at(2 * unit) | s.at(2 * unit + 1) << 8);
  }
  static std::string entry(const Bytes& inv, unsigned i) {
    const auto* e = reinterpret_cast<const char*>(inv.data()) + 24 * i;
    if (e[0] == 0)
      return "-";
    return std::string(e, 16) + "|" + std::string(e + 17, strnlen(e + 17, 6));
  }
  void wait_ready() {
    k.advance(hz);
    wake();
  }
};

TEST_F(Flash, InventoryListsTheUnitAndItsCommunicatingPods) {
  QmxUnit& u = pod_unit(0x25); // pods 0, 2 and 5
  const std::string main = "QMX2-7POD-8S1P57|V2.3";
  const std::string pod = "QMX-POD-8S1P    |V1.0";
  Bytes inv = inventory();
  ASSERT_EQ(inv.size(), 192u);
  const std::vector<std::string> fitted = {main, pod, "-", pod, "-", "-", pod, "-"};
  for (unsigned i = 0; i < 8; ++i)
    EXPECT_EQ(entry(inv, i), fitted[i]) << i;
  EXPECT_EQ(inventory(24).size(), 24u);
  EXPECT_EQ(word(0), 0);

  // A pod that stops answering leaves the inventory and shows its condition.
  u.engine().set_pod_online(2, false);
  inv = inventory();
  EXPECT_EQ(entry(inv, 3), "-");
  EXPECT_EQ(word(3), kCondition | kLostCommunication);
  EXPECT_EQ(word(4), 0) << "pod 3 is not fitted";

  topo.remove(0, kTarget);
  add_unit({{.model = "QMX-16S-115A", .firmware = "V3.1"}});
  wake();
  inv = inventory();
  EXPECT_EQ(entry(inv, 0), "QMX-16S-115A    |V3.1");
  EXPECT_TRUE(std::all_of(inv.begin() + 24, inv.end(), [](std::uint8_t b) { return b == 0; }));
}

// The pod-unit update: pods and main unit programmed, then one restart loads both.
TEST_F(Flash, DownloadAndRestartLoadNewVersions) {
  QmxUnit& u = pod_unit(0x25, "V2.2");
  use_arq();
  // Firmware 2.2 does not know FAS_RESET.
  ASSERT_TRUE(write({cmd({FAS_RESET, 0})}).good());
  EXPECT_EQ(answers_of(read()), std::vector<Bytes>{ans({FAS_RESET, 0, ERR_BAD_CMD})});

  ASSERT_TRUE(run(cdb_write_buffer(0)).good());
  EXPECT_TRUE(run(cdb_tur()).good());
  ASSERT_TRUE(download(0x7f, image("QMX-POD-8S1P firmware V1.3 (c)")));
  EXPECT_EQ(word(1), 0) << "complete, so no longer waiting";
  ASSERT_TRUE(download(0, doubled(image("QMX2-7POD-8S1P57 V2.4", 128))));
  EXPECT_EQ(u.revision(), "V2.2") << "nothing loads before the restart";
  ASSERT_TRUE(run(cdb_write_buffer(4)).good());

  EXPECT_EQ(run(cdb_tur()).key(), KEY_NOT_READY);
  wait_ready();
  const Outcome inq = run(cdb_inquiry(36), {}, 36);
  EXPECT_EQ(std::string(inq.data.begin() + 32, inq.data.end()), "V2.4");
  const Bytes inv = inventory();
  EXPECT_EQ(entry(inv, 0), "QMX2-7POD-8S1P57|V2.4");
  for (unsigned i : {1u, 3u, 6u})
    EXPECT_EQ(entry(inv, i), "QMX-POD-8S1P    |V1.3") << i;
  ASSERT_TRUE(write({cmd({FAS_RESET, 0})}).good());
  EXPECT_EQ(answers_of(read()), std::vector<Bytes>{ans({FAS_RESET, 0, 0})});
}

TEST_F(Flash, RefusedStepsTellTheirCause) {
  struct Row {
    const char* name;
    std::function<void()> steps; // before the refused one
    Bytes cdb;
    Bytes data;
    int key;
    std::uint16_t main_word; // vendor status of the main unit afterwards
  };
  const Bytes block(128, 0x11);
  const auto mode = [this] { ASSERT_TRUE(run(cdb_write_buffer(0)).good()); };
  const auto selected = [=, this] {
    mode();
    ASSERT_TRUE(run(cdb_write_buffer(1, 0, 256)).good());
  };
  const auto half = [=, this] {
    selected();
    ASSERT_TRUE(run(cdb_write_buffer(2, 0, 128), block).good());
  };
  const auto unversioned = [=, this] {
    mode();
    ASSERT_TRUE(download(0, image("no version here")));
  };
  const auto checksum = [=, this] {
    selected();
    topo.qmx(0, kTarget).faults().buffer_failures[2] = kChecksumError;
  };
  const std::uint16_t waiting = kCondition | kWaiting;
  const Row rows[] = {
      {"select outside the mode", nullptr, cdb_write_buffer(1, 0, 256), {}, KEY_ILLEGAL_REQUEST, 0},
      {"pod not fitted", mode, cdb_write_buffer(1, 0x02 << 16, 256), {}, KEY_ILLEGAL_REQUEST, 0},
      {"data before select", mode, cdb_write_buffer(2, 0, 128), block, KEY_ILLEGAL_REQUEST, 0},
      {"out of order", selected, cdb_write_buffer(2, 128, 128), block, KEY_VENDOR_UNIQUE,
       waiting | kSequenceError},
      {"overlapping", half, cdb_write_buffer(2, 64, 128), block, KEY_VENDOR_UNIQUE,
       waiting | kSequenceError},
      {"past the size", half, cdb_write_buffer(2, 128, 129), Bytes(129, 1), KEY_ILLEGAL_REQUEST,
       waiting},
      {"restart before the end",
       half,
       cdb_write_buffer(4),
       {},
       KEY_VENDOR_UNIQUE,
       kCondition | kIncompleteData | kOriginalData},
      {"no version in the image",
       unversioned,
       cdb_write_buffer(4),
       {},
       KEY_VENDOR_UNIQUE,
       kCondition | kVersionError},
      {"scripted", checksum, cdb_write_buffer(2, 0, 128), block, KEY_VENDOR_UNIQUE,
       waiting | kChecksumError},
      {"unknown page", nullptr, cdb_read_buffer(7, 16), {}, KEY_ILLEGAL_REQUEST, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    topo.remove(0, kTarget);
    QmxUnit& u = add_unit({{.model = "QMX-16S-115A"}});
    wake();
    if (r.steps)
      r.steps();
    const Outcome o = run(r.cdb, r.data, r.cdb[0] == SCMD_READ_BUFFER ? 16 : 0);
    EXPECT_EQ(o.status, STATUS_CHECK);
    EXPECT_EQ(sense_key(), r.key) << "through REQUEST SENSE, as the update tool asks";
    EXPECT_EQ(word(0), r.main_word);
    EXPECT_EQ(u.revision(), "V2.3");
  }
}

TEST_F(Flash, ASelectedPodThatDoesNotAnswerIsReported) {
  QmxUnit& u = pod_unit(0x7f);
  u.engine().set_pod_online(4, false);
  ASSERT_TRUE(run(cdb_write_buffer(0)).good());
  EXPECT_FALSE(download(0x7f, image("QMX-POD V1.1")));
  EXPECT_EQ(sense_key(), KEY_VENDOR_UNIQUE);
  EXPECT_EQ(word(5), kCondition | kLostCommunication);
  // Restart outside a download is a firmware restart and leaves the mode.
  ASSERT_TRUE(run(cdb_write_buffer(4)).good());
  EXPECT_FALSE(u.flash().in_mode());
  EXPECT_FALSE(u.ready());
  EXPECT_EQ(u.flash().version(1), "V1.0");
}

// Ways out of the mode with no new image: the unit runs what it had and its ports work.
TEST_F(Flash, RestartsWithoutACompleteImageRunWhatTheUnitHad) {
  const Bytes block(128, 0x11);
  const std::function<void()> ways[] = {
      // A download declined after its select: nothing sent.
      [this] { EXPECT_TRUE(run(cdb_write_buffer(4)).good()); },
      // A download broken off: refused once, the image dropped, then restarted.
      [&, this] {
        ASSERT_TRUE(run(cdb_write_buffer(2, 0, 128), block).good());
        EXPECT_EQ(run(cdb_write_buffer(4)).status, STATUS_CHECK);
        EXPECT_TRUE(run(cdb_write_buffer(4)).good());
      },
      // The driver's firmware restart.
      [this] { EXPECT_TRUE(run(cdb_self_test()).good()); },
  };
  for (const auto& way : ways) {
    topo.remove(0, kTarget);
    QmxUnit& u = add_unit({{.model = "QMX-16S-115A"}});
    wake();
    ASSERT_TRUE(run(cdb_write_buffer(0)).good());
    ASSERT_TRUE(run(cdb_write_buffer(1, 0, 256)).good());
    way();
    EXPECT_FALSE(u.flash().in_mode());
    EXPECT_EQ(u.revision(), "V2.3");
    wait_ready();
    EXPECT_TRUE(write({cmd({FAS_RESET, 0})}).good());
  }
}

TEST(ImageVersion, ReadLikeTheUpdateTool) {
  const struct {
    const char* name;
    Bytes image;
    std::optional<std::string> version;
  } rows[] = {
      {"plain", image("QMX-16S-115A V2.4 build 7"), "V2.4"},
      {"byte-doubled", doubled(image("QMX-16S-115A V2.4 build 7")), "V2.4"},
      {"first match wins", image("V1x V3.0 V4.1"), "V3.0"},
      {"none", image("Version 2"), std::nullopt},
      {"beyond the 128 header bytes",
       [] {
         Bytes b(256, ' ');
         const std::string v = "V9.9";
         std::copy(v.begin(), v.end(), b.begin() + 125);
         return b;
       }(),
       std::nullopt},
      {"short", image("V1.", 3), std::nullopt},
  };
  for (const auto& r : rows)
    EXPECT_EQ(image_version(r.image), r.version) << r.name;
}

} // namespace
} // namespace qdemu::test
