// What a bus scan and the driver's probe see: INQUIRY of QMX units, of other devices, and
// of addresses where nothing answers.
#include "scsi_unit_fixture.h"

#include <string>

namespace qdemu::test {
namespace {

using Identity = ScsiUnitTest;

std::string field(const Outcome& o, std::size_t from, std::size_t n) {
  return std::string(o.data.begin() + static_cast<std::ptrdiff_t>(from),
                     o.data.begin() + static_cast<std::ptrdiff_t>(from + n));
}

TEST_F(Identity, InquiryCarriesTypeVendorProductAndRevision) {
  struct Row {
    QmxUnitConfig config;
    const char* vendor;
    const char* product;
    const char* revision;
  };
  const Row rows[] = {
      {{.model = "QMX-16S-115A"}, "OrvaneCo", "QMX-16S-115A    ", "V2.3"},
      {{.model = "QMX-7POD-8S1P-57", .vendor = "Brannoc", .firmware = "V1.9"},
       "Brannoc ",
       "QMX-7POD-8S1P-57",
       "V1.9"},
      {{.model = "QMX-3P", .product = "QMX-3P-NEW"}, "OrvaneCo", "QMX-3P-NEW      ", "V2.3"},
  };
  int target = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.config.model);
    add_unit({r.config}, target);
    const Outcome o = run(cdb_inquiry(233), {}, 233, target);
    ASSERT_TRUE(o.good());
    ASSERT_EQ(o.data.size(), 36u);
    EXPECT_EQ(o.resid, 233 - 36);
    EXPECT_EQ(o.data[0], DTYPE_COMM);
    EXPECT_EQ(o.data[4], 31) << "additional length of standard data";
    EXPECT_EQ(field(o, 8, 8), r.vendor);
    EXPECT_EQ(field(o, 16, 16), r.product);
    EXPECT_EQ(field(o, 32, 4), r.revision);
    ++target;
  }
}

TEST_F(Identity, InquiryHonoursTheAllocationLength) {
  add_unit({{.model = "QMX-8S-115A"}});
  const struct {
    std::uint8_t alloc;
    std::size_t room;
    std::size_t got;
  } rows[] = {{0, 48, 0}, {5, 48, 5}, {36, 48, 36}, {48, 48, 36}, {200, 20, 20}};
  for (const auto& r : rows) {
    const Outcome o = run(cdb_inquiry(r.alloc), {}, r.room);
    EXPECT_TRUE(o.good());
    EXPECT_EQ(o.data.size(), r.got) << int(r.alloc);
    EXPECT_EQ(o.resid, static_cast<long>(r.room - r.got));
  }
  // Vital product data pages are not offered.
  EXPECT_EQ(run({SCMD_INQUIRY, 1, 0x80, 0, 36, 0}, {}, 36).status, STATUS_CHECK);
  EXPECT_EQ(sense_key(), KEY_ILLEGAL_REQUEST);
}

TEST_F(Identity, InquiryAnswersWhileNotReadyAndLeavesTheUnitAttention) {
  QmxUnit& unit = add_unit({{.model = "QMX-8S-115A", .warming_up = true}});
  EXPECT_TRUE(run(cdb_inquiry(36), {}, 36).good());
  EXPECT_FALSE(unit.ready());
  EXPECT_TRUE(unit.unit_attention_pending());
}

// The bus as a scan of targets 0-6 sees it: a QMX unit, a disk, a processor, nothing.
TEST_F(Identity, BusScanSeesEveryKindOfDevice) {
  add_unit({{.model = "QMX-16S-57A"}}, 1);
  topo.add_device(0, 3, {});
  topo.add_device(0, 5, {.device_type = DTYPE_PROCESSOR, .vendor = "ACME", .product = "BRIDGE"});
  const struct {
    int target;
    int dtype; // -1: nothing answers
    const char* vendor;
  } rows[] = {{0, -1, nullptr},
              {1, DTYPE_COMM, "OrvaneCo"},
              {3, DTYPE_DIRECT, "QUANTRIX"},
              {5, DTYPE_PROCESSOR, "ACME    "},
              {6, -1, nullptr}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.target);
    const Outcome o = run(cdb_inquiry(233), {}, 233, r.target);
    if (r.dtype < 0) {
      EXPECT_EQ(o.reason, CMD_INCOMPLETE);
      EXPECT_EQ(o.state & STATE_SENT_CMD, 0u) << "selection timed out";
      continue;
    }
    ASSERT_TRUE(o.good());
    EXPECT_EQ(o.data[0], r.dtype);
    EXPECT_EQ(field(o, 8, 8), r.vendor);
  }
}

TEST_F(Identity, OtherDevicesRefuseWhatTheyDoNotKnow) {
  topo.add_device(0, kTarget, {});
  EXPECT_TRUE(run(cdb_tur()).good());
  EXPECT_EQ(sense_key(), KEY_NO_SENSE);
  EXPECT_EQ(run(cdb6(SCMD_READ, 512), {}, 512).status, STATUS_CHECK);
  EXPECT_EQ(sense_key(), KEY_ILLEGAL_REQUEST);
}

} // namespace
} // namespace qdemu::test
