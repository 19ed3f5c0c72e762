// Packets and buffer headers: the CDBs makecom builds, allocation faults, data areas of
// get_pktiopb, and misuse the layer reports.
#include "scsa_fixture.h"

namespace scsa_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST_F(ScsaTest, MakecomBuildsSixByteCdbs) {
  scsi_device lun2 = *dev();
  lun2.sd_address.a_lun = 2;
  struct Case {
    const char* name;
    bool sequential;
    scsi_device* d;
    int cmd, a, b, flag; // g0: addr, cnt; g0_s: cnt, fixbit
    Bytes cdb;
  } const cases[] = {
      {"WRITE of 10", true, dev(), SCMD_WRITE, 10, 0, 0, {0x0A, 0, 0, 0, 10, 0}},
      {"24-bit count", true, dev(), SCMD_WRITE, 0x012345, 0, 0, {0x0A, 0, 0x01, 0x23, 0x45, 0}},
      {"READ of 4096", true, dev(), SCMD_READ, 4096, 0, 0, {0x08, 0, 0, 0x10, 0, 0}},
      {"fixed bit", true, dev(), SCMD_READ, 4, 1, 0, {0x08, 1, 0, 0, 4, 0}},
      {"LUN bits", true, &lun2, SCMD_READ, 4, 0, 0, {0x08, 0x40, 0, 0, 4, 0}},
      {"INQUIRY", false, dev(), SCMD_INQUIRY, 0, 48, FLAG_NOINTR, {0x12, 0, 0, 0, 48, 0}},
      {"block address", false, dev(), SCMD_READ, 0x1ABCDE, 1, 0, {0x08, 0x1A, 0xBC, 0xDE, 1, 0}},
  };
  ASSERT_TRUE(k.call([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      scsi_pkt* p = scsi_init_pkt(&dev(0)->sd_address, nullptr, nullptr, CDB_GROUP0, 1, 0, 0,
                                  NULL_FUNC, nullptr);
      std::fill(p->pkt_cdbp, p->pkt_cdbp + CDB_GROUP0, 0xFF);
      if (c.sequential) {
        makecom_g0_s(p, c.d, c.flag, c.cmd, c.a, c.b);
      } else {
        makecom_g0(p, c.d, c.flag, c.cmd, c.a, c.b);
      }
      EXPECT_EQ(Bytes(p->pkt_cdbp, p->pkt_cdbp + CDB_GROUP0), c.cdb);
      EXPECT_EQ(p->pkt_flags, static_cast<uint_t>(c.flag));
      EXPECT_EQ(p->pkt_address.a_target, c.d->sd_address.a_target);
      EXPECT_EQ(p->pkt_address.a_lun, c.d->sd_address.a_lun);
      scsi_destroy_pkt(p);
    }
  }));
}

TEST_F(ScsaTest, AllocationFaultsHitTheNthCallThatMayFail) {
  struct Kind {
    const char* name;
    void (kemu::Scsa::*arm)(long);
    std::function<bool(bool sleep)> attempt; // true when it got something (and let it go)
  };
  scsi_address* ap = &dev()->sd_address;
  const Kind kinds[] = {
      {"scsi_init_pkt", &kemu::Scsa::fail_init_pkt_nth,
       [ap](bool sleep) {
         scsi_pkt* p = scsi_init_pkt(ap, nullptr, nullptr, CDB_GROUP0, 1, 0, 0,
                                     sleep ? SLEEP_FUNC : NULL_FUNC, nullptr);
         if (p != nullptr) {
           scsi_destroy_pkt(p);
         }
         return p != nullptr;
       }},
      {"get_pktiopb", &kemu::Scsa::fail_pktiopb_nth,
       [ap](bool sleep) {
         caddr_t data = nullptr;
         scsi_pkt* p = get_pktiopb(ap, &data, CDB_GROUP0, 1, 48, 1, sleep ? SLEEP_FUNC : NULL_FUNC);
         if (p != nullptr) {
           free_pktiopb(p, data, 48);
         }
         return p != nullptr;
       }},
      {"getrbuf", &kemu::Scsa::fail_getrbuf_nth,
       [](bool sleep) {
         buf* b = getrbuf(sleep ? KM_SLEEP : KM_NOSLEEP);
         freerbuf(b);
         return b != nullptr;
       }},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    std::vector<bool> got;
    (scsa.*kind.arm)(2);
    ASSERT_TRUE(k.call([&] {
      got.push_back(kind.attempt(false));
      got.push_back(kind.attempt(true)); // waiting calls do not count
      got.push_back(kind.attempt(false));
      got.push_back(kind.attempt(false));
    }));
    EXPECT_EQ(got, (std::vector<bool>{true, true, false, true}));
    // Memory that cannot be had fails them too.
    k.fail_kmem_nth(1);
    ASSERT_TRUE(k.call([&] { EXPECT_FALSE(kind.attempt(false)); }));
    k.clear_kmem_faults();
  }
}

TEST_F(ScsaTest, PktiopbDataAreaFollowsTheDirection) {
  toy->respond = [](ScsiCommand& c) {
    for (std::size_t i = 0; i < c.data_in().size(); ++i) {
      c.data_in()[i] = static_cast<std::uint8_t>(i);
    }
    return std::optional<ScsiAnswer>(ScsiAnswer::good());
  };
  caddr_t in = nullptr;
  caddr_t out = nullptr;
  scsi_pkt* rp = nullptr;
  scsi_pkt* wp = nullptr;
  ASSERT_TRUE(k.call([&] {
    rp = get_pktiopb(&dev()->sd_address, &in, CDB_GROUP1, 1, 16, 1, NULL_FUNC);
    wp = get_pktiopb(&dev()->sd_address, &out, CDB_GROUP1, 1, 4, 0, NULL_FUNC);
    const Bytes read_buffer = {SCMD_READ_BUFFER, 1, 0, 0, 0, 0, 0, 0, 0x10, 0x80};
    std::copy(read_buffer.begin(), read_buffer.end(), rp->pkt_cdbp);
    const Bytes write_buffer = {SCMD_WRITE_BUFFER, 5, 2, 0, 0, 0, 0, 0, 4, 0x80};
    std::copy(write_buffer.begin(), write_buffer.end(), wp->pkt_cdbp);
    std::memcpy(out, "\x01\x02\x03\x04", 4);
    rp->pkt_comp = wp->pkt_comp = record_completion;
    EXPECT_EQ(scsi_transport(rp), TRAN_ACCEPT);
    EXPECT_EQ(scsi_transport(wp), TRAN_ACCEPT);
  }));
  k.settle();
  ASSERT_EQ(g_seen.size(), 2u);
  ASSERT_EQ(toy->cdbs.size(), 2u);
  EXPECT_EQ(toy->cdbs[0].size(), static_cast<std::size_t>(CDB_GROUP1));
  EXPECT_EQ(toy->written, (std::vector<Bytes>{{1, 2, 3, 4}}));
  EXPECT_EQ(Bytes(in, in + 16), (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  ASSERT_TRUE(k.call([&] {
    free_pktiopb(rp, in, 16);
    free_pktiopb(wp, out, 4);
  }));
}

} // namespace
} // namespace scsa_test
