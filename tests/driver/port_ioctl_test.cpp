// The standard terminal ioctls of a port: when they run, the speed checks, what the unit is
// told and when the caller hears back, modem signals and their query, break, soft carrier,
// refusals, and an ioctl held for lack of a reply buffer.
#include <cerrno>
#include <cstring>

#include "kemu/streams.h"
#include "port_ioctl_fixture.h"
#include "qdio.h"

namespace lineio_test {
namespace {

Bytes head(const FasCmd& c, std::size_t n = FAS_HDR_SIZE) {
  return Bytes(c.bytes.begin(), c.bytes.begin() + static_cast<long>(n));
}

using PortIoctl = PortIoctlFixture;

// A parameter change queued behind output waits for it to drain; one that is not of the
// drain class is sent at once, ahead of the data.
TEST_F(PortIoctl, DrainClassWaitsForOutputOthersRunAtOnce) {
  write(0, "abc");
  ASSERT_EQ(take_commands(FAS_SEND).size(), 1u);
  ASSERT_NE(lp_->qdl_flags & QDL_OUTPUT_ACTIVE, 0u);

  termios t = with_cflag(CS8 | CREAD | B19200);
  kemu::IoResult r;
  auto now = start(TCSETS, &t, &r);
  std::vector<FasCmd> sent = take_commands();
  ASSERT_EQ(sent.size(), 2u) << "sent while the data is still unanswered";
  EXPECT_EQ(sent[1].op(), FAS_FLOW_CTRL);
  answer(fas_answer(sent[0].op(), 0));
  ASSERT_TRUE(now->join());
  EXPECT_TRUE(r.ok());

  write(0, "def");
  t = with_cflag(CS8 | CREAD | B38400);
  auto later = start(TCSETSW, &t, &r);
  EXPECT_FALSE(later->done());
  answer(fas_answer(FAS_SEND, 0)); // "abc" is out; "def" goes
  std::vector<FasCmd> more = take_commands();
  ASSERT_EQ(more.size(), 1u);
  EXPECT_EQ(more[0].data(), "def");
  EXPECT_EQ(lp_->tty.t_cflag & CBAUD, B19200) << "not applied while output is pending";
  answer(fas_answer(FAS_SEND, 0));
  sent = take_commands();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes[6] & 0x0f, baud[B38400].code);
  EXPECT_FALSE(later->done()) << "answered by the unit's parameter answer";
  answer(fas_answer(sent[0].op(), 0));
  ASSERT_TRUE(later->join());
  EXPECT_TRUE(r.ok());
}

// Only what changed goes to the unit, and the caller gets the unit's verdict.
TEST_F(PortIoctl, ParametersRoundTrip) {
  termios t{};
  ASSERT_TRUE(call(TCGETS, &t).ok());
  EXPECT_EQ(t.c_cflag, CS8 | CREAD | B9600);

  // Unchanged: nothing is sent and the answer comes at once.
  ASSERT_TRUE(call(TCSETS, &t).ok());
  EXPECT_TRUE(take_commands().empty());

  struct Case {
    tcflag_t iflag, cflag;
    unsigned char status;
    int error;
  };
  const Case cases[] = {
      {0, CS7 | CREAD | PARENB | B19200, 0, 0},
      {IXON, CS7 | CREAD | PARENB | B19200, 0, 0}, // flow only: both commands all the same
      {IXON, CS8 | CREAD | B2400, 2, EINVAL},      // the unit refuses
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cflag);
    t.c_iflag = c.iflag;
    t.c_cflag = c.cflag;
    kemu::IoResult r;
    auto task = start(TCSETS, &t, &r);
    std::vector<FasCmd> sent = take_commands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].op(), FAS_SET_PARAMS);
    EXPECT_EQ(sent[1].op(), FAS_FLOW_CTRL);
    EXPECT_FALSE(task->done());
    answer(fas_answer(FAS_SET_PARAMS, 0, c.status));
    ASSERT_TRUE(task->join());
    EXPECT_EQ(r.error, c.error);
    termios now{};
    ASSERT_TRUE(call(TCGETS, &now).ok());
    EXPECT_EQ(now.c_cflag, c.cflag);
    EXPECT_EQ(now.c_iflag, c.iflag);
  }
}

// Speeds are checked before anything is applied; a refusal leaves the line as it was.
TEST_F(PortIoctl, TermiosSpeedChecks) {
  static const qd_unitinfo no_split{"NOSPLIT-8S1P", 9, 2048, 0x8010F, QDM_NO_SPLIT};
  const qd_unitinfo* own = up_->qdu_info;
  constexpr tcflag_t base = CS8 | CREAD;
  constexpr tcflag_t in19200 = B19200 << IBSHIFT;
  constexpr tcflag_t in230400 = ((B230400 - 16) << IBSHIFT) | CIBAUDEXT;
  struct Case {
    const char* what;
    const qd_unitinfo* model;
    tcflag_t cflag;
    int error;
    bool sent;
  };
  const Case cases[] = {
      {"input speed 0", own, base | B19200, 0, true},
      {"input speed the output speed", own, base | B19200 | in19200, 0, true},
      {"split speeds", own, base | B38400 | in19200, 0, true},
      {"split speeds on a model without them", &no_split, base | B38400 | in19200, EINVAL, false},
      {"same speeds on a model without split", &no_split, base | B19200 | in19200, 0, true},
      {"output too fast", own, base | CBAUDEXT | (B230400 - 16), EINVAL, false},
      {"input too fast", own, base | B19200 | in230400, EINVAL, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    locked([&] {
      up_->qdu_info = c.model;
      lp_->tty.t_cflag = base | B9600;
      lp_->last_params[0] = 255;
    });
    termios t = with_cflag(c.cflag);
    kemu::IoResult r;
    auto task = start(TCSETS, &t, &r);
    std::vector<FasCmd> sent = take_commands(FAS_SET_PARAMS);
    EXPECT_EQ(!sent.empty(), c.sent);
    if (!sent.empty()) {
      answer(fas_answer(FAS_SET_PARAMS, 0));
    }
    ASSERT_TRUE(task->join());
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(lp_->tty.t_cflag, c.error == 0 ? c.cflag : base | B9600);
  }
  locked([&] { up_->qdu_info = own; });
}

// B0 hangs up: DTR drops, nothing else changes. A record of the wrong size is refused.
TEST_F(PortIoctl, TermiosHangUpAndBadRecords) {
  locked([&] { lp_->modem_bits = TIOCM_DTR | TIOCM_RTS; });
  termios t = with_cflag(CS7 | B0);
  kemu::IoResult r;
  auto task = start(TCSETS, &t, &r);
  std::vector<FasCmd> sent = take_commands();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(head(sent[0], 4), (Bytes{FAS_SET_MODEM, 0, 0x80, 0x82}));
  ASSERT_TRUE(task->join());
  EXPECT_TRUE(r.ok()) << "acknowledged without waiting for the unit";
  EXPECT_EQ(lp_->tty.t_cflag, CS8 | CREAD | B9600);
  EXPECT_EQ(lp_->modem_bits, static_cast<std::uint32_t>(TIOCM_RTS));

  unsigned char big[64] = {};
  for (int len : {0, 20, 37}) {
    SCOPED_TRACE(len);
    EXPECT_EQ(istr(TCSETS, big, len).error, EINVAL);
    EXPECT_EQ(istr(TCSETA, big, len > 20 ? 17 : len).error, EINVAL);
  }
  EXPECT_EQ(istr(TIOCMSET, big, 2).error, EINVAL);
  EXPECT_EQ(istr(TCSBRK, big, 0).error, EINVAL);
  EXPECT_EQ(lp_->tty.t_cflag, CS8 | CREAD | B9600);
  EXPECT_TRUE(take_commands().empty());
  console();
}

// The old record: 16-bit words, the upper half of the control word kept; every TCSETA
// makes the input speed follow the output speed, refused or not.
TEST_F(PortIoctl, TermioRecord) {
  struct Case {
    const char* what;
    unsigned short cflag;
    char line;
    int error;
    tcflag_t after; // the line's control word afterwards
  };
  constexpr tcflag_t upper = CRTSCTS | (B19200 << IBSHIFT);
  const Case cases[] = {
      {"applied", CS7 | CREAD | B4800, 0, 0, CRTSCTS | CS7 | CREAD | B4800},
      {"hang-up", CS7 | B0, 0, 0, CRTSCTS | CS8 | CREAD | B9600},
      {"line discipline out of range", CS7 | CREAD | B4800, static_cast<char>(0x80), EINVAL,
       CRTSCTS | CS8 | CREAD | B9600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    locked([&] {
      lp_->tty.t_cflag = upper | CS8 | CREAD | B9600;
      lp_->last_params[0] = 255;
    });
    termio t{};
    t.c_cflag = c.cflag;
    t.c_line = c.line;
    kemu::IoResult r;
    auto task = start(TCSETA, &t, &r);
    if (std::vector<FasCmd> sent = take_commands(FAS_SET_PARAMS); !sent.empty()) {
      answer(fas_answer(FAS_SET_PARAMS, 0));
    }
    ASSERT_TRUE(task->join());
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(lp_->tty.t_cflag, c.after);
  }
}

// The speed extension moves every speed index: on a port whose fastest code is 0x0F,
// extension 3 makes B38400 mean 115200 bit/s, and B57600 impossible.
TEST_F(PortIoctl, SpeedExtensionShiftsTheIndex) {
  locked([&] { lp_->speed_ext = 3; });
  termios t = with_cflag(CS8 | CREAD | B38400);
  kemu::IoResult r;
  auto task = start(TCSETS, &t, &r);
  std::vector<FasCmd> sent = take_commands(FAS_SET_PARAMS);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes[6] & 0x0f, baud[18].code);
  EXPECT_EQ(lp_->speed, 115200);
  answer(fas_answer(FAS_SET_PARAMS, 0));
  ASSERT_TRUE(task->join());
  EXPECT_TRUE(r.ok());

  t = with_cflag(CS8 | CREAD | CBAUDEXT | (B57600 - 16));
  EXPECT_EQ(call(TCSETS, &t).error, EINVAL);
}

// Setting the modem signals: a change goes to the unit and is answered by it; no change is
// answered at once. The transparent forms copy the bits in first.
TEST_F(PortIoctl, ModemSignals) {
  constexpr int DTR = TIOCM_DTR;
  constexpr int RTS = TIOCM_RTS;
  struct Case {
    int cmd;
    int bits;
    bool transparent;
    Bytes sent; // bytes 2 and 3 of FAS_SET_MODEM; empty: nothing sent
    std::uint32_t after;
  };
  const Case cases[] = {
      {TIOCMBIS, DTR | RTS, false, {0x81, 0x81}, DTR | RTS},
      {TIOCMBIS, DTR, false, {}, DTR | RTS}, // already set
      {TIOCMBIC, RTS, true, {0x82, 0x80}, DTR},
      {TIOCMSET, RTS, false, {0x81, 0x82}, RTS},
      {TIOCMSET, DTR | RTS, true, {0x81, 0x81}, DTR | RTS}, // both named, both raised
      {QD_TIOCMSET_SIZED, 0, false, {0x82, 0x82}, 0},
      {QD_TIOCMSET_SIZED, RTS, true, {0x81, 0x82}, RTS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.cmd << " " << c.bits << " "
                                      << (c.transparent ? "transparent" : "I_STR"));
    kernel_.advance(lp_->dtrdel); // past the DTR guard time
    int bits = c.bits;
    strioctl sio{c.cmd, -1, sizeof bits, reinterpret_cast<char*>(&bits)};
    kemu::IoResult r;
    auto task = c.transparent ? start(c.cmd, &bits, &r) : start(I_STR, &sio, &r);
    std::vector<FasCmd> sent = take_commands();
    if (c.sent.empty()) {
      EXPECT_TRUE(sent.empty());
    } else {
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(head(sent[0], 4), (Bytes{FAS_SET_MODEM, 0, c.sent[0], c.sent[1]}));
      EXPECT_FALSE(task->done());
      answer(fas_answer(FAS_SET_MODEM, 0));
    }
    ASSERT_TRUE(task->join());
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(lp_->modem_bits, c.after);
  }
}

// The modem status query asks the unit and answers with the 4-byte modem word: as an
// acknowledgement with count 4 through I_STR, through a copy-out of 4 bytes when
// transparent. A second query waits until the first is answered.
TEST_F(PortIoctl, ModemStatusQuery) {
  locked([&] { lp_->modem_bits = TIOCM_DTR | TIOCM_RTS; });
  const std::uint32_t expected = TIOCM_DTR | TIOCM_RTS | TIOCM_CAR | TIOCM_DSR | TIOCM_CTS;

  std::uint64_t record = 0; // room for more than the reply
  strioctl sio{TIOCMGET, -1, sizeof record, reinterpret_cast<char*>(&record)};
  kemu::IoResult r;
  auto task = start(I_STR, &sio, &r);
  std::vector<FasCmd> sent = take_commands();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(head(sent[0]), (Bytes{FAS_STAT_CHG, 0, 0x87, 0, 0, 0, 0, 0}));
  EXPECT_NE(lp_->qdl_flags & QDL_UTIL_WAIT, 0u);
  answer(status_report(0));
  ASSERT_TRUE(task->join());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(sio.ic_len, 4);
  EXPECT_EQ(record, expected);
  EXPECT_TRUE(take_commands().empty()) << "the answer that completes a query is not re-armed";

  for (int cmd : {TIOCMGET, QD_TIOCMGET_SIZED}) {
    SCOPED_TRACE(cmd);
    std::uint64_t buf = ~0ull; // the copy-out writes the low 4 bytes only
    task = start(cmd, &buf, &r);
    ASSERT_EQ(take_commands(FAS_STAT_CHG).size(), 1u);
    answer(status_report(0));
    ASSERT_TRUE(task->join());
    ASSERT_TRUE(r.ok());
    std::uint32_t low = 0;
    std::memcpy(&low, &buf, sizeof low);
    EXPECT_EQ(low, expected);
    EXPECT_EQ(buf >> 32 << 32, ~0ull << 32);
  }

  // The first caller gives up; its query still holds the slot, so the next one waits.
  std::uint32_t first = 0;
  strioctl quick{TIOCMGET, 1, sizeof first, reinterpret_cast<char*>(&first)};
  auto t1 = start(I_STR, &quick, &r);
  kernel_.advance(hz);
  ASSERT_TRUE(t1->join());
  EXPECT_EQ(r.error, ETIME);
  ASSERT_EQ(take_commands(FAS_STAT_CHG).size(), 1u);
  kemu::IoResult r2;
  std::uint32_t value = 0;
  strioctl second{TIOCMGET, -1, sizeof value, reinterpret_cast<char*>(&value)};
  auto t2 = start(I_STR, &second, &r2);
  EXPECT_TRUE(take_commands().empty()) << "no second query while the first is unanswered";
  answer(status_report(0));
  EXPECT_FALSE(t2->done());
  ASSERT_EQ(take_commands(FAS_STAT_CHG).size(), 1u) << "now the second asks";
  answer(status_report(0));
  ASSERT_TRUE(t2->join());
  EXPECT_TRUE(r2.ok());
  EXPECT_EQ(value, expected);

  // A query made while the open's own status request is unanswered takes its own answer,
  // not that older one, which reports the signals from before the open raised DTR.
  locked([&] { qdf_status_query(lp_, 0x84); });
  take_commands();
  std::uint32_t fresh = 0;
  strioctl third{TIOCMGET, -1, sizeof fresh, reinterpret_cast<char*>(&fresh)};
  auto t3 = start(I_STR, &third, &r);
  ASSERT_EQ(take_commands(FAS_STAT_CHG).size(), 1u);
  answer(status_report(0, 0, 0x84, 0x04)); // carrier, but neither DSR nor CTS yet
  EXPECT_FALSE(t3->done());
  answer(status_report(0));
  ASSERT_TRUE(t3->join());
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(fresh, expected);
}

// A parked modem status query completes with the answer to its own query only: not with
// the answer of the line's standing carrier request that arrives first, and not one answer
// late when an earlier query was thrown away unanswered.
TEST_F(PortIoctl, ModemStatusQueryTakesOnlyItsOwnAnswer) {
  locked([&] { lp_->modem_bits = TIOCM_DTR | TIOCM_RTS; });
  const std::uint32_t expected = TIOCM_DTR | TIOCM_RTS | TIOCM_CAR | TIOCM_DSR | TIOCM_CTS;
  std::uint32_t value = 0;
  kemu::IoResult r;
  strioctl first{TIOCMGET, -1, sizeof value, reinterpret_cast<char*>(&value)};
  auto task = start(I_STR, &first, &r);
  ASSERT_EQ(take_commands(FAS_STAT_CHG).size(), 1u);
  answer(status_report(0, 0, 0x04, 0x04)); // carrier came: the standing request's answer
  EXPECT_FALSE(task->done());
  EXPECT_NE(lp_->modem_bits & TIOCM_CAR, 0u);
  std::vector<FasCmd> rearm = take_commands(FAS_STAT_CHG);
  ASSERT_EQ(rearm.size(), 1u);
  EXPECT_EQ(rearm[0].bytes[2], 0x04) << "the standing request is asked again";
  answer(status_report(0));
  ASSERT_TRUE(task->join());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(value, expected);

  // The enable's query thrown away with the unit's queued commands, as the unit node's
  // FLUSHR throws them away: its answer never comes.
  locked([&] {
    ASSERT_NE(qdf_status_query(lp_, 0x84), nullptr);
    qdm_freechain(up_);
  });
  value = 0;
  strioctl second{TIOCMGET, -1, sizeof value, reinterpret_cast<char*>(&value)};
  task = start(I_STR, &second, &r);
  ASSERT_EQ(take_commands(FAS_STAT_CHG).size(), 1u);
  answer(status_report(0));
  EXPECT_TRUE(task->done()) << "its own answer, at once";
  ASSERT_TRUE(task->join());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(value, expected);
}

// TCSBRK 0 is acknowledged while the break is still going out; a drain-class ioctl right
// after it waits for the unit's answer to the break. Any other argument sends nothing, and
// TIOCSBRK is not served.
TEST_F(PortIoctl, Break) {
  ASSERT_TRUE(call(TCSBRK, std::intptr_t{0}).ok());
  std::vector<FasCmd> sent = take_commands();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(head(sent[0]), (Bytes{FAS_SEND_BREAK, 0, 0, 0, 0, 0, 0, 0}));

  termios hangup = with_cflag(B0);
  kemu::IoResult r;
  auto task = start(TCSETSW, &hangup, &r);
  EXPECT_FALSE(task->done());
  answer(fas_answer(FAS_SEND_BREAK, 0));
  ASSERT_TRUE(task->join());
  EXPECT_TRUE(r.ok());

  ASSERT_TRUE(call(TCSBRK, std::intptr_t{1}).ok());
  EXPECT_EQ(call(TIOCSBRK, std::intptr_t{0}).error, EINVAL);
  EXPECT_TRUE(take_commands().empty());
  EXPECT_EQ(lp_->qdl_flags & QDL_OUTPUT_ACTIVE, 0u);
}

// Output held for lack of carrier moves once the line needs none: by soft carrier or by
// CLOCAL in new parameters.
TEST_F(PortIoctl, CarrierNoLongerNeeded) {
  for (bool softcar : {true, false}) {
    SCOPED_TRACE(softcar ? "soft carrier" : "CLOCAL");
    locked([&] {
      lp_->qdl_flags |= QDL_HELD;
      lp_->qdl_flags &= ~QDL_LOCAL;
      lp_->tty.t_flags &= ~TS_SOFTCAR;
      lp_->tty.t_cflag = CS8 | CREAD | B9600;
      lp_->last_params[0] = 255;
    });
    write(0, "held");
    EXPECT_TRUE(take_commands(FAS_SEND).empty());
    if (softcar) {
      int on = 1;
      ASSERT_TRUE(call(TIOCSSOFTCAR, &on).ok());
      EXPECT_NE(lp_->qdl_flags & QDL_LOCAL, 0u);
      int got = 0;
      ASSERT_TRUE(call(TIOCGSOFTCAR, &got).ok());
      EXPECT_EQ(got, 1);
    } else {
      termios t = with_cflag(CS8 | CREAD | CLOCAL | B9600);
      kemu::IoResult r;
      auto task = start(TCSETS, &t, &r);
      answer(fas_answer(FAS_SET_PARAMS, 0));
      ASSERT_TRUE(task->join());
      EXPECT_TRUE(r.ok());
    }
    EXPECT_EQ(lp_->qdl_flags & QDL_HELD, 0u);
    EXPECT_EQ(pump_sends(), "held");
  }
  int off = 0;
  ASSERT_TRUE(call(TIOCSSOFTCAR, &off).ok());
  EXPECT_EQ(lp_->qdl_flags & QDL_LOCAL, 0u);
}

// What the driver does not serve on a port, and a port that is offline.
TEST_F(PortIoctl, Refusals) {
  struct Case {
    int cmd;
    int error;
  };
  const Case cases[] = {
      {qd_ioc(STGET), EINVAL},   {qd_ioc(STSET), EINVAL}, {0x1234, EINVAL},
      {qd_ioc(QMXLOCK), EINVAL}, {TIOCSBRK, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cmd);
    EXPECT_EQ(call(c.cmd, std::intptr_t{0}).error, c.error);
    EXPECT_EQ(istr(c.cmd, nullptr, 0).error, c.error);
  }
  termios t{};
  locked([&] { lp_->qdl_flags |= QDL_OFFLINE; });
  for (int cmd : {TCGETS, TCSETSW, TIOCMGET, qd_ioc(QMXGETEXTCTL)}) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(istr(cmd, &t, sizeof t).error, ENODEV);
  }
  EXPECT_TRUE(take_commands().empty());
  if constexpr (qd_trace_units) {
    EXPECT_NE(ring_text(qd_ring_of(up_->qdu_trc))
                  .find("schedule_ioctl(0000540f) TCSETSW\noffline\nNAK(13)\n"),
              std::string::npos);
  }
}

// No reply buffer for a get: the ioctl is held and a buffer callback runs it again; when
// no callback can be arranged the console says so and the ioctl stays held until close.
TEST_F(PortIoctl, BufferShortage) {
  termios t{};
  kemu::fail_allocb_nth(1);
  kemu::IoResult r;
  auto task = start(TCGETS, &t, &r);
  EXPECT_EQ(kemu::allocb_failures(), 1);
  EXPECT_FALSE(task->done());
  EXPECT_NE(lp_->tty.t_iocpending, nullptr);
  kernel_.advance(1);
  ASSERT_TRUE(task->join());
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(t.c_cflag, CS8 | CREAD | B9600);
  EXPECT_EQ(lp_->tty.t_iocpending, nullptr);
  EXPECT_EQ(console(), "");

  kemu::fail_allocb_nth(1);
  kemu::fail_bufcall(true);
  strioctl sio{TCGETS, 2, sizeof t, reinterpret_cast<char*>(&t)};
  task = start(I_STR, &sio, &r);
  EXPECT_EQ(console(), "streams buffer allocation failed\n");
  kernel_.advance(2 * hz);
  ASSERT_TRUE(task->join());
  EXPECT_EQ(r.error, ETIME);
  EXPECT_NE(lp_->tty.t_iocpending, nullptr) << "nobody runs it again";
  kemu::fail_bufcall(false);
  close_port(0); // frees it; the fixture checks that no message is left
  EXPECT_EQ(lp_->tty.t_iocpending, nullptr);
}

} // namespace
} // namespace lineio_test
