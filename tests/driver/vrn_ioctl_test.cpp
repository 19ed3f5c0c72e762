// Unit-node requests: the unit description read and set (I_STR and transparent), bringing a
// Lanvara unit online and offline, and the refusals.
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "diag_fixture.h"
#include "kemu/streams.h"

namespace diag_test {
namespace {

class VrnIoctl : public DiagFixture {
protected:
  void SetUp() override {
    DiagFixture::SetUp();
    up_ = lanvara_unit(3, "Lanvara8S1P-115");
    std::memcpy(up_->qdu_fwrev, "V2.3", 5);
    up_->qdu_ipaddr = inet_addr("10.1.2.3");
    node_ = &open(unit_node_minor(up_));
  }

  static vrn_uptr_info description(const char* model, const char* fw, const char* addr) {
    vrn_uptr_info info{};
    std::strncpy(info.model_name, model, sizeof info.model_name);
    std::strncpy(info.fw_version, fw, sizeof info.fw_version);
    info.net_addr = inet_addr(addr);
    return info;
  }

  qd_unit* up_ = nullptr;
  kemu::StreamFile* node_ = nullptr;
};

TEST_F(VrnIoctl, GetDescriptionByIstrAndTransparent) {
  vrn_uptr_info expected{};
  std::strcpy(expected.model_name, "Lanvara8S1P-115");
  std::strcpy(expected.fw_version, "V2.3");
  expected.net_addr = inet_addr("10.1.2.3");

  vrn_uptr_info got;
  std::memset(&got, 0x55, sizeof got);
  ASSERT_TRUE(istr(*node_, VRNGETUPTR, got).ok());
  EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&got.net_addr);
  EXPECT_EQ(bytes[0], 10) << "first octet at the lowest address";

  std::memset(&got, 0x55, sizeof got);
  ASSERT_TRUE(plain(*node_, VRNGETUPTR, reinterpret_cast<std::intptr_t>(&got)).ok());
  EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0);
}

TEST_F(VrnIoctl, SetDescriptionKeepsFourFirmwareCharactersAndDerivesCapabilities) {
  struct Case {
    const char* fw;
    const char* kept;
    std::uint32_t caps;
  };
  const Case cases[] = {
      {"V2.3", "V2.3", QDU_CAP_TIMEOUT15 | QDU_CAP_RESET | QDU_CAP_WAITSEND},
      {"V2.2", "V2.2", QDU_CAP_TIMEOUT15},
      {"V1.9", "V1.9", 0},
      {"3.10", "3.10", 0}, // the second character is the point
      {"V6.01x", "V6.0", QDU_CAP_TIMEOUT15 | QDU_CAP_RESET | QDU_CAP_WAITSEND},
      {"V2", "V2", QDU_CAP_TIMEOUT15},
  };
  for (const Case& c : cases) {
    vrn_uptr_info info = description("Lanvara8S1P-115", c.fw, "192.168.7.9");
    ASSERT_TRUE(istr(*node_, VRNSETUPTR, info).ok()) << c.fw;
    EXPECT_STREQ(up_->qdu_fwrev, c.kept);
    EXPECT_EQ(up_->qdu_caps, c.caps) << c.fw;
    EXPECT_EQ(up_->qdu_ipaddr, inet_addr("192.168.7.9"));
  }
  EXPECT_EQ(console(), "") << "same model: nothing to say";
}

TEST_F(VrnIoctl, SetDescriptionModelNames) {
  // Trailing blanks go; a full 16-byte field needs no NUL.
  vrn_uptr_info info = description("Lanvara8S1P-115   ", "V2.3", "10.0.0.1");
  ASSERT_TRUE(istr(*node_, VRNSETUPTR, info).ok());
  EXPECT_EQ(console(), "");
  std::memcpy(info.model_name, "Lanvara8S1P-115 ", 16);
  ASSERT_TRUE(istr(*node_, VRNSETUPTR, info).ok());
  EXPECT_EQ(console(), "");

  info = description("Lanvara16S-115A", "V2.3", "10.0.0.2");
  ASSERT_TRUE(istr(*node_, VRNSETUPTR, info).ok());
  EXPECT_STREQ(up_->qdu_info->name, "Lanvara16S-115A");
  EXPECT_EQ(console(), "Orvane vrn3: Module type has changed.  Some lines may be inaccessible.\n");

  // A name that is no Lanvara model leaves the whole description as it was.
  for (const char* bad : {"QMX-16S-115A", "NoSuchModel", "   "}) {
    info = description(bad, "V1.0", "10.9.9.9");
    EXPECT_EQ(istr(*node_, VRNSETUPTR, info).error, EINVAL) << bad;
    EXPECT_STREQ(up_->qdu_info->name, "Lanvara16S-115A");
    EXPECT_STREQ(up_->qdu_fwrev, "V2.3");
    EXPECT_EQ(up_->qdu_ipaddr, inet_addr("10.0.0.2"));
  }
  EXPECT_EQ(console(), "");
}

TEST_F(VrnIoctl, SetDescriptionTransparentIsAppliedLikeIstr) {
  vrn_uptr_info info = description("Lanvara16S-115A", "V2.2", "172.16.0.5");
  ASSERT_TRUE(plain(*node_, VRNSETUPTR, reinterpret_cast<std::intptr_t>(&info)).ok());
  EXPECT_STREQ(up_->qdu_info->name, "Lanvara16S-115A");
  EXPECT_STREQ(up_->qdu_fwrev, "V2.2");
  EXPECT_EQ(up_->qdu_caps, QDU_CAP_TIMEOUT15);
  EXPECT_EQ(up_->qdu_ipaddr, inet_addr("172.16.0.5"));
}

TEST_F(VrnIoctl, ShortDescriptionIsRefused) {
  vrn_uptr_info info = description("Lanvara16S-115A", "V1.0", "10.0.0.9");
  EXPECT_EQ(istr(*node_, VRNSETUPTR, &info, 27).error, EINVAL);
  EXPECT_STREQ(up_->qdu_info->name, "Lanvara8S1P-115");
}

TEST_F(VrnIoctl, OnlineAndOffline) {
  qd_line* port = nullptr;
  ASSERT_TRUE(istr(*node_, VRNONLINE, nullptr, 0).ok());
  EXPECT_EQ(up_->qdu_flags & (QDU_OFFLINE | QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP),
            QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP);
  EXPECT_EQ(console(), "Orvane vrn3: Lanvara8S1P-115 (V2.3) module online at 10.1.2.3\n");
  EXPECT_EQ(istr(*node_, VRNONLINE, nullptr, 0).error, EINVAL);

  port = enabled_line(up_, 2);
  kemu::StreamFile& f = open(port_minor(up_, 2));
  ASSERT_TRUE(istr(*node_, VRNOFFLINE, nullptr, 0).ok());
  EXPECT_NE(up_->qdu_flags & QDU_OFFLINE, 0u);
  EXPECT_NE(port->qdl_flags & QDL_OFFLINE, 0u);
  EXPECT_NE(f.poll() & kemu::kPollHup, 0u) << "the open port was hung up";
  EXPECT_EQ(console(), "Orvane vrn3: Module offline\n");
  EXPECT_EQ(istr(*node_, VRNOFFLINE, nullptr, 0).error, EINVAL);
  // Offline, the node still takes requests: the daemon brings the unit back.
  EXPECT_TRUE(istr(*node_, VRNONLINE, nullptr, 0).ok());
}

TEST_F(VrnIoctl, OnlineFailureIsEio) {
  // A Lanvara bring-up cannot fail; a unit-node line whose unit's bring-up does (a SCSI
  // record never attached) shows the answer.
  qd_unit* scsi = nullptr;
  run([&] {
    scsi = make_unit("QMX-8S-115A", 1, 4);
    scsi->qdu_flags &= ~QDU_ATTACHED;
  });
  auto pair = kemu::make_queue_pair(nullptr, nullptr);
  queue_t* wq = WR(kemu::read_queue(*pair));
  qd_line node{};
  node.unit = scsi;
  node.unit_mutex = &scsi->unit_mutex;
  node.qdl_flags = QDL_UNITNODE;
  node.qdl_minor = 0x100ff;
  wq->q_ptr = &node;
  int error = -1;
  run([&] {
    mblk_t* mp = allocb(sizeof(iocblk) + sizeof(cred_t), BPRI_MED);
    auto* io = reinterpret_cast<iocblk*>(mp->b_rptr);
    *io = iocblk{};
    auto* cr = reinterpret_cast<cred_t*>(mp->b_rptr + sizeof(iocblk));
    *cr = kemu::Kernel::root_cred();
    io->ioc_cmd = qd_ioc(VRNONLINE);
    io->ioc_cr = cr;
    mp->b_wptr += sizeof(iocblk);
    mp->b_datap->db_type = M_IOCTL;
    mutex_enter(&scsi->unit_mutex);
    EXPECT_EQ(qdf_vrn_online_ioctl(wq, mp), QD_IOC_DONE);
    mutex_exit(&scsi->unit_mutex);
    EXPECT_EQ(mp->b_datap->db_type, M_IOCNAK);
    error = io->ioc_error;
    freemsg(mp);
  });
  EXPECT_EQ(error, EIO);
}

TEST_F(VrnIoctl, UnprivilegedCallerIsRefusedEveryRequest) {
  vrn_uptr_info info = description("Lanvara16S-115A", "V1.0", "10.0.0.9");
  for (std::uint32_t cmd : {VRNGETUPTR, VRNSETUPTR}) {
    EXPECT_EQ(istr(*node_, cmd, info, -1, user_cred()).error, EPERM) << std::hex << cmd;
  }
  for (std::uint32_t cmd : {VRNONLINE, VRNOFFLINE}) {
    EXPECT_EQ(istr(*node_, cmd, nullptr, 0, -1, user_cred()).error, EPERM) << std::hex << cmd;
  }
  EXPECT_STREQ(up_->qdu_info->name, "Lanvara8S1P-115");
  EXPECT_NE(up_->qdu_flags & QDU_OFFLINE, 0u);
}

TEST_F(VrnIoctl, OtherCodesOnBothNodesAreRefusedWithEnxio) {
  int value = 0;
  for (std::uint32_t cmd : {QMXLOCK, QMXFLUSH, QMXGETEXTCTL, 0x5401u /* TCGETA */}) {
    EXPECT_EQ(istr(*node_, cmd, value).error, ENXIO) << std::hex << cmd;
  }
  kemu::StreamFile& d = diag();
  for (std::uint32_t cmd : {VRNONLINE, VRNGETUPTR, QMXSETEXTCTL, 0x5401u}) {
    EXPECT_EQ(istr(d, cmd, value).error, ENXIO) << std::hex << cmd;
  }
  EXPECT_NE(up_->qdu_flags & QDU_OFFLINE, 0u);
}

} // namespace
} // namespace diag_test
