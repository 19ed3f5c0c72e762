// Unit-node requests on the loaded driver: the unit description read and set (I_STR and
// transparent), bringing a Lanvara unit online and offline, and the refusals.
#include <algorithm>
#include <arpa/inet.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "diag_fixture.h"

namespace diag_test {
namespace {

class VrnIoctl : public DiagFixture {
protected:
  void SetUp() override {
    DiagFixture::SetUp();
    start("vrn3=\"Lanvara8S1P-115,10.1.2.3\";\n");
    up_ = vrn_unit(3);
    ASSERT_NE(up_, nullptr);
    node_ = &open_node("vrnn3");
  }

  static vrn_uptr_info description(const char* model, const char* fw, const char* addr) {
    vrn_uptr_info info{};
    // Fields are filled whole, without a terminator when the text fills them.
    std::memcpy(info.model_name, model, std::min(std::strlen(model), sizeof info.model_name));
    std::memcpy(info.fw_version, fw, std::min(std::strlen(fw), sizeof info.fw_version));
    info.net_addr = inet_addr(addr);
    return info;
  }

  // Plays the relay daemon and the module behind it until done() holds: every command the
  // driver sends through the unit node is answered with status 0, but for the requests a
  // module answers only when something happens.
  void serve_until(const std::function<bool()>& done) {
    for (int round = 0; round < 200 && !done(); ++round) {
      std::array<std::byte, 4096> buf{};
      kemu::IoResult r;
      as(kemu::Kernel::root_cred(), [&] { r = node_->read(buf); });
      std::string answers;
      const auto* p = reinterpret_cast<const unsigned char*>(buf.data());
      for (long i = 0; r.ok() && i + 8 <= r.value; i += size_faspkt(p + i, 0)) {
        const unsigned char op = p[i];
        if (op != FAS_RECV && op != FAS_STAT_CHG && op != FAS_SEND && op != FAS_WAIT_SEND) {
          answers += std::string{static_cast<char>(op), static_cast<char>(p[i + 1])};
          answers.append(6, '\0');
        }
      }
      if (!answers.empty()) {
        as(kemu::Kernel::root_cred(), [&] { node_->write(answers); });
      }
      kernel_.advance(1);
    }
    EXPECT_TRUE(done());
  }

  qd_unit* up_ = nullptr;
  kemu::StreamFile* node_ = nullptr;
};

TEST_F(VrnIoctl, GetDescriptionByIstrAndTransparent) {
  vrn_uptr_info set = description("Lanvara8S1P-115", "V2.3", "10.1.2.3");
  ASSERT_TRUE(istr(*node_, VRNSETUPTR, set).ok());
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
  console();
}

TEST_F(VrnIoctl, ShortDescriptionIsRefused) {
  vrn_uptr_info info = description("Lanvara16S-115A", "V1.0", "10.0.0.9");
  EXPECT_EQ(istr(*node_, VRNSETUPTR, &info, 27).error, EINVAL);
  EXPECT_STREQ(up_->qdu_info->name, "Lanvara8S1P-115");
}

TEST_F(VrnIoctl, OnlineAndOffline) {
  vrn_uptr_info info = description("Lanvara8S1P-115", "V2.3", "10.1.2.3");
  ASSERT_TRUE(istr(*node_, VRNSETUPTR, info).ok());
  ASSERT_TRUE(istr(*node_, VRNONLINE, nullptr, 0).ok());
  EXPECT_EQ(up_->qdu_flags & (QDU_OFFLINE | QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP),
            QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP);
  EXPECT_EQ(console(), "Orvane vrn3: Lanvara8S1P-115 (V2.3) module online at 10.1.2.3\n");
  EXPECT_EQ(istr(*node_, VRNONLINE, nullptr, 0).error, EINVAL);

  // A port opened through the unit while it is online...
  kemu::StreamFile* port = nullptr;
  auto opener = kernel_.spawn([&] { port = &open_node(port_name(up_, 2)); });
  serve_until([&] { return opener->done(); });
  ASSERT_NE(port, nullptr);
  // ...is hung up when the unit goes offline.
  ASSERT_TRUE(istr(*node_, VRNOFFLINE, nullptr, 0).ok());
  EXPECT_NE(up_->qdu_flags & QDU_OFFLINE, 0u);
  EXPECT_NE(up_->qd_lines[2]->qdl_flags & QDL_OFFLINE, 0u);
  EXPECT_NE(port->poll() & kemu::kPollHup, 0u);
  EXPECT_EQ(console(), "Orvane vrn3: Module offline\n");
  EXPECT_EQ(istr(*node_, VRNOFFLINE, nullptr, 0).error, EINVAL);
  // Offline, the node still takes requests: the daemon brings the unit back.
  EXPECT_TRUE(istr(*node_, VRNONLINE, nullptr, 0).ok());
  close_node(*port);
  console();
}

// Half an answer from the connection that went down is not joined to the next one.
TEST_F(VrnIoctl, ReconnectStartsOnAnAnswerBoundary) {
  vrn_uptr_info info = description("Lanvara8S1P-115", "V2.3", "10.1.2.3");
  ASSERT_TRUE(istr(*node_, VRNSETUPTR, info).ok());
  ASSERT_TRUE(istr(*node_, VRNONLINE, nullptr, 0).ok());
  const std::string poll{static_cast<char>(FAS_UNIT_POLL), 0, 0, 0, 0, 0, 0, 0};
  as(kemu::Kernel::root_cred(), [&] { node_->write(poll.substr(0, 3)); });
  ASSERT_TRUE(istr(*node_, VRNOFFLINE, nullptr, 0).ok());
  ASSERT_TRUE(istr(*node_, VRNONLINE, nullptr, 0).ok());
  as(kemu::Kernel::root_cred(), [&] { node_->write(poll); });
  const qd_pkt* r = up_->qdu_rcvpkt;
  EXPECT_EQ(r->qd_wptr - r->qd_rptr, 0) << "bytes left over: the stream is out of step";
  EXPECT_EQ(up_->qdu_flags & QDU_OFFLINE, 0u);
  console();
}

// A Lanvara unit's bring-up cannot fail; the answer to a failed one is shown with a
// unit-node line made by hand over a SCSI unit that has left the bus.
class VrnOnlineFailure : public DiagFixture {};

TEST_F(VrnOnlineFailure, FailedBringUpIsEio) {
  add_qmx(2);
  start();
  qd_unit* up = unit(2);
  locked(up, [&] { qdm_unit_offline(up); });
  up->qdu_offline_time = -1000; // no hold-off left
  topo_->remove(kBus, 2);

  auto pair = kemu::make_queue_pair(nullptr, nullptr);
  queue_t* wq = WR(kemu::read_queue(*pair));
  qd_line node{};
  node.unit = up;
  node.unit_mutex = &up->unit_mutex;
  node.qdl_flags = QDL_UNITNODE;
  node.qdl_minor = 0x100ff;
  wq->q_ptr = &node;
  int error = -1;
  locked(up, [&] {
    mblk_t* mp = loaded_test::ioctl_message(qd_ioc(VRNONLINE));
    EXPECT_EQ(qdf_vrn_online_ioctl(wq, mp), QD_IOC_DONE);
    EXPECT_EQ(mp->b_datap->db_type, M_IOCNAK);
    error = reinterpret_cast<iocblk*>(mp->b_rptr)->ioc_error;
    freemsg(mp);
  });
  EXPECT_EQ(error, EIO);
  EXPECT_EQ(console(), "Orvane QMX 0/2: Module offline\nOrvane QMX 0/2: module not responding\n");
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
