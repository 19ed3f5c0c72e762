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
    add_qmx(2);
    start();
    up_ = unit(2);
  }

  static minor_t minor_of_port(const qd_unit* up, unsigned port) {
    return static_cast<minor_t>(up->qdu_bus) << 12 | static_cast<minor_t>(up->qdu_target) << 8 |
           port;
  }

  kemu::IoResult flush(minor_t minor, const cred_t& cred = kemu::Kernel::root_cred()) {
    return plain(diag(), QMXFLUSH, minor, cred);
  }

  // FAS_OUTPUT_CTRL commands with the flush flag (the unit's firmware has it) that the
  // line's command log shows after `from`.
  static int flushes_logged(const qd_line* lp, const unsigned char* from) {
    int n = 0;
    const unsigned char* start = &lp->fas_log[0][0];
    const unsigned char* end = start + sizeof lp->fas_log;
    for (const unsigned char* p = from; p != lp->fas_log_ptr; p = p + 8 == end ? start : p + 8) {
      n += p[0] == FAS_OUTPUT_CTRL && p[1] == lp->line_num && p[2] == 1 ? 1 : 0;
    }
    return n;
  }

  qd_unit* up_ = nullptr;
};

TEST_F(DiagFlush, OpenPortIsHungUpFlushedAndFlushedAtTheUnit) {
  kemu::StreamFile& port = open_node(port_name(up_, 2));
  qd_line* lp = up_->qd_lines[2];
  // Input waiting at the stream head goes with the flush.
  as(kemu::Kernel::root_cred(), [&] {
    mblk_t* mp = allocb(5, BPRI_MED);
    std::memcpy(mp->b_wptr, "hello", 5);
    mp->b_wptr += 5;
    putnext(lp->tty.t_readq, mp);
  });
  const unsigned char* log_at = lp->fas_log_ptr;

  ASSERT_TRUE(flush(minor_of_port(up_, 2)).ok());
  EXPECT_NE(port.poll() & kemu::kPollHup, 0u);
  std::array<std::byte, 8> buf{};
  kemu::IoResult r;
  as(kemu::Kernel::root_cred(), [&] { r = port.read(buf); });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.value, 0) << "flushed, then end of file after the hangup";
  EXPECT_GE(flushes_logged(lp, log_at), 1);
  EXPECT_EQ(lp->output, &qdf_drain_output);
}

TEST_F(DiagFlush, DialOutMinorAndIstrForm) {
  open_node(port_name(up_, 1, true));
  qd_line* lp = up_->qd_lines[1];
  const unsigned char* log_at = lp->fas_log_ptr;
  EXPECT_TRUE(flush(minor_of_port(up_, 1) | QD_MINOR_DIALOUT).ok());
  EXPECT_GE(flushes_logged(lp, log_at), 1);
  int minor = static_cast<int>(minor_of_port(up_, 1));
  EXPECT_TRUE(istr(diag(), QMXFLUSH, minor).ok()) << "the record form of the same request";
}

TEST_F(DiagFlush, EnabledPortWithoutStreamIsFlushedAtTheUnitOnly) {
  close_node(open_node(port_name(up_, 2)));
  qd_line* lp = up_->qd_lines[2];
  // A port whose disable the unit never confirmed stays enabled there.
  locked(up_, [&] { lp->qdl_flags |= QDL_ENABLED; });
  const unsigned char* log_at = lp->fas_log_ptr;
  EXPECT_EQ(flush(minor_of_port(up_, 2)).error, EIO);
  EXPECT_EQ(flushes_logged(lp, log_at), 1);
  locked(up_, [&] { lp->qdl_flags &= ~QDL_ENABLED; });
}

TEST_F(DiagFlush, Refusals) {
  close_node(open_node(port_name(up_, 4))); // opened once, disabled now
  struct Case {
    const char* what;
    minor_t minor;
    cred_t cred;
    int error;
  };
  const cred_t root = kemu::Kernel::root_cred();
  const Case cases[] = {
      {"unprivileged", minor_of_port(up_, 4), user_cred(), EPERM},
      {"no such unit", minor_of_port(up_, 4) + (5u << 8), root, ENODEV},
      {"port beyond the model's", minor_of_port(up_, 9), root, EINVAL},
      {"port 0xff", minor_of_port(up_, 0xff), root, EINVAL},
      {"never opened", minor_of_port(up_, 5), root, ENOENT},
      {"not enabled", minor_of_port(up_, 4), root, ENOTTY},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(flush(c.minor, c.cred).error, c.error) << c.what;
  }
  EXPECT_EQ(istr(diag(), QMXFLUSH, nullptr, 0).error, EINVAL) << "no minor number at all";
  EXPECT_EQ(istr(diag(), QMXFLUSH, nullptr, 0, -1, user_cred()).error, EPERM)
      << "unprivileged, no minor number either";
}

} // namespace
} // namespace diag_test
