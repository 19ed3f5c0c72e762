// The port flush, as kvflush sends it (a plain ioctl with the port's minor number): the
// port's stream is hung up and flushed, its output thrown away, and the unit told to flush.
#include <cerrno>
#include <cstring>
#include <vector>

#include "diag_fixture.h"

namespace diag_test {
namespace {

class DiagFlush : public DiagFixture {
protected:
  void SetUp() override {
    DiagFixture::SetUp();
    // Online, its unit node closed: queued commands stay on the chain for the test to read.
    up_ = lanvara_unit(3);
    up_->qdu_flags &= ~QDU_OFFLINE;
    up_->qdu_flags |= QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP;
  }

  // Opcodes and lines of the commands queued since the last look.
  std::vector<std::pair<int, int>> commands() {
    std::vector<std::pair<int, int>> out;
    locked(up_, [&] {
      for (const qd_pkt* p = up_->pkt_head; p != nullptr; p = p->next) {
        for (const unsigned char* c = p->data; c < p->qd_wptr; c += size_faspkt(c, 0)) {
          out.emplace_back(c[0], c[1]);
        }
      }
      qdm_freechain(up_);
    });
    return out;
  }

  kemu::IoResult flush(minor_t minor, const cred_t& cred = kemu::Kernel::root_cred()) {
    return plain(diag(), QMXFLUSH, minor, cred);
  }

  qd_unit* up_ = nullptr;
};

using Cmds = std::vector<std::pair<int, int>>;

TEST_F(DiagFlush, OpenPortIsHungUpFlushedAndFlushedAtTheUnit) {
  qd_line* lp = enabled_line(up_, 2);
  lp->qdl_flags &= ~QDL_CARRIER; // an open waiting for carrier sees the change
  kemu::StreamFile& port = open(port_minor(up_, 2));
  // Input waiting at the stream head goes with the flush.
  run([&] {
    mblk_t* mp = allocb(5, BPRI_MED);
    std::memcpy(mp->b_wptr, "hello", 5);
    mp->b_wptr += 5;
    putnext(lp->tty.t_readq, mp);
  });

  ASSERT_TRUE(flush(port_minor(up_, 2)).ok());
  EXPECT_NE(port.poll() & kemu::kPollHup, 0u);
  char buf[8];
  kemu::IoResult r;
  run([&] { r = port.read(std::as_writable_bytes(std::span(buf))); });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.value, 0) << "flushed, then end of file after the hangup";
  EXPECT_EQ(commands(), (Cmds{{FAS_OUTPUT_CTRL, 2}}));
  EXPECT_EQ(lp->output, &qdf_drain_output);
  EXPECT_NE(lp->qdl_flags & QDL_CARRIER, 0u);
}

TEST_F(DiagFlush, DialOutMinorAndIstrFormName) {
  enabled_line(up_, 1);
  open(port_minor(up_, 1) | QD_MINOR_DIALOUT);
  EXPECT_TRUE(flush(port_minor(up_, 1) | QD_MINOR_DIALOUT).ok());
  EXPECT_EQ(commands(), (Cmds{{FAS_OUTPUT_CTRL, 1}}));
  int minor = static_cast<int>(port_minor(up_, 1));
  EXPECT_TRUE(istr(diag(), QMXFLUSH, minor).ok());
  EXPECT_EQ(commands(), (Cmds{{FAS_OUTPUT_CTRL, 1}}));
}

TEST_F(DiagFlush, EnabledPortWithoutStreamIsFlushedAtTheUnitOnly) {
  qd_line* lp = enabled_line(up_, 2);
  EXPECT_EQ(flush(port_minor(up_, 2)).error, EIO);
  EXPECT_EQ(commands(), (Cmds{{FAS_OUTPUT_CTRL, 2}}));
  EXPECT_EQ(lp->output, &qdf_drain_output);
}

TEST_F(DiagFlush, Refusals) {
  qd_line* disabled = enabled_line(up_, 4);
  disabled->qdl_flags = 0;
  struct Case {
    const char* what;
    minor_t minor;
    cred_t cred;
    int error;
  };
  const cred_t root = kemu::Kernel::root_cred();
  const Case cases[] = {
      {"unprivileged", port_minor(up_, 4), user_cred(), EPERM},
      {"no such unit", QD_MINOR_LANVARA | 9u << 8 | 1, root, ENODEV},
      {"port beyond the model's", port_minor(up_, 9), root, EINVAL},
      {"the unit node", unit_node_minor(up_), root, EINVAL},
      {"never opened", port_minor(up_, 5), root, ENOENT},
      {"not enabled", port_minor(up_, 4), root, ENOTTY},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(flush(c.minor, c.cred).error, c.error) << c.what;
  }
  EXPECT_EQ(commands(), Cmds{});
  EXPECT_EQ(istr(diag(), QMXFLUSH, nullptr, 0).error, EINVAL) << "no minor number at all";
}

} // namespace
} // namespace diag_test
