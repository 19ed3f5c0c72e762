// FAS over SCSI: WRITE(6) batches in, READ(6) batches out, held READs, re-sent batches,
// size limits, malformed batches and the unit's own faults.
#include "scsi_unit_fixture.h"

#include <sys/epoll.h>
#include <unistd.h>

#include "kemu/hba.h"
#include "kemu/host_watch.h"

namespace qdemu::test {
namespace {

using kemu::ScsiFault;

class Batches : public ScsiUnitTest {
protected:
  QmxUnit& unit(const char* model = "QMX-8S1P-115A") {
    QmxUnit& u = add_unit(QmxSpec{{.model = model}}.loopback({0}).peers({1}));
    wake();
    return u;
  }
  // Line 1 enabled with a grant outstanding: what its peer sends becomes an answer.
  void open_line1() {
    ASSERT_TRUE(write({cmd({FAS_ENABLE, 1}), params11(1), grant(1)}).good());
    ASSERT_EQ(answers_of(read()).size(), 2u);
  }
};

TEST_F(Batches, WriteCarriesCommandsAndReadCollectsWholeAnswers) {
  unit();
  const Outcome w = write({cmd({FAS_ENABLE, 0}), params11(0), grant(0), send_cmd(0, "ping")});
  ASSERT_TRUE(w.good());
  EXPECT_EQ(w.resid, 0);
  const Outcome r = read();
  ASSERT_TRUE(r.good());
  EXPECT_EQ(r.resid, static_cast<long>(kReadLen - r.data.size()));
  EXPECT_EQ(answers_of(r), (std::vector<Bytes>{ans({FAS_ENABLE, 0, 0}), ans({FAS_SET_PARAMS, 0, 0}),
                                               ans({FAS_SEND, 0, 0}), recv_ans(0, 0, "ping")}));
}

TEST_F(Batches, EmptyReadIsHeldUntilAnAnswerOrTheIdleTime) {
  QmxUnit& u = unit();
  open_line1();
  // Nothing comes: PKT_END alone after read_hold.
  Cmd& idle = start(cdb6(SCMD_READ, kReadLen), {}, kReadLen);
  const clock_t from = k.lbolt();
  k.advance(4);
  EXPECT_FALSE(idle.out.done);
  k.advance(1);
  ASSERT_TRUE(idle.out.done);
  EXPECT_EQ(idle.out.at - from, 5);
  EXPECT_EQ(idle.out.data, Bytes{PKT_END});
  EXPECT_EQ(idle.out.resid, static_cast<long>(kReadLen - 1));
  // An answer ends the hold at once.
  Cmd& held = start(cdb6(SCMD_READ, kReadLen), {}, kReadLen);
  k.advance(2);
  EXPECT_TRUE(u.read_held());
  u.peer(1)->send("hi");
  k.settle();
  ASSERT_TRUE(held.out.done);
  EXPECT_EQ(answers_of(held.out), std::vector<Bytes>{recv_ans(1, 0, "hi")});
  EXPECT_EQ(u.stats().idle_reads, 1u);
}

// On the real clock (qdhost) a client's request ends a held READ at once: what the client
// wrote waits in the host behind that READ.
class RealClockBatches : public ScsiUnitTest {
protected:
  static kemu::KernelOptions real_clock() {
    kemu::KernelOptions o;
    o.clock = kemu::ClockMode::kReal;
    o.speed = 1000;
    return o;
  }
  RealClockBatches() : ScsiUnitTest(real_clock()) {}
};

TEST_F(RealClockBatches, AClientRequestEndsTheHeldRead) {
  QmxUnitConfig config{.model = "QMX-8S1P-115A"};
  config.ready_delay = 0;
  config.read_hold = 3600L * kTicksPerSecond * 1000; // an hour of wall-clock time
  config.active_hold = 0;
  QmxUnit& u = add_unit(QmxSpec{config});
  wake();
  Cmd& held = start(cdb6(SCMD_READ, kReadLen), {}, kReadLen);
  k.settle();
  ASSERT_TRUE(u.read_held());
  // A client's request: a host event that starts a kernel context.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  struct Client final : kemu::HostWatcher {
    kemu::Kernel* k;
    int fd;
    void ready(unsigned) override {
      char c;
      EXPECT_EQ(::read(fd, &c, 1), 1);
      k->start([] {}, [](bool) {});
    }
  } client;
  client.k = &k;
  client.fd = fds[0];
  kemu::HostWatch watch = k.watch(fds[0], &client);
  ASSERT_TRUE(watch.want(EPOLLIN));
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_TRUE(
      k.run_until([&] { return held.completed.load(std::memory_order_acquire); }, 20000L * hz))
      << "20 s wall-clock";
  EXPECT_EQ(held.out.data, Bytes{PKT_END});
  watch.unwatch();
  ::close(fds[0]);
  ::close(fds[1]);
}

// A READ whose batch the host lost comes again with control byte 0x40 and gets the same
// batch; a READ the unit never answered must not get the previous batch again.
TEST_F(Batches, ResentReadGetsTheLostBatchOnly) {
  struct Row {
    const char* name;
    ScsiFault fault;
    bool resent;
  };
  const Row rows[] = {
      {"lost after the unit answered", ScsiFault::fail(CMD_TRAN_ERR, true), true},
      {"parity error", ScsiFault::parity(), true},
      {"busy in the unit's place", ScsiFault::status_byte(STATUS_BUSY), false},
      {"check condition in the unit's place", ScsiFault::check(KEY_ABORTED_COMMAND), false},
  };
  QmxUnit& u = unit();
  const auto poll_answer = [](std::uint8_t n) { return ans({FAS_UNIT_POLL, n, 0}); };
  std::uint8_t n = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    // READ after READ, as an idle transport goes: only the unit's notion of the last
    // batch tells a lost batch from one the host has.
    u.engine().inject_answer(poll_answer(++n));
    ASSERT_EQ(answers_of(read()), std::vector<Bytes>{poll_answer(n)});
    u.engine().inject_answer(poll_answer(++n));
    scsa.adapter(0).inject(kTarget, 0, r.fault.on(SCMD_READ));
    const Outcome failed = read();
    EXPECT_TRUE(!failed.good() || failed.statistics == STAT_PERR);
    ASSERT_NE(failed.state & STATE_SENT_CMD, 0u) << "the driver sets 0x40 only then";
    const std::uint64_t resent = u.stats().resent_reads;
    EXPECT_EQ(answers_of(read(kResendControl)), std::vector<Bytes>{poll_answer(n)});
    EXPECT_EQ(u.stats().resent_reads - resent, r.resent ? 1u : 0u);
  }
  // After a WRITE the host has had the last batch: 0x40 gets fresh answers.
  ASSERT_TRUE(write({cmd({FAS_UNIT_POLL, 99})}).good());
  EXPECT_EQ(answers_of(read(kResendControl)), std::vector<Bytes>{poll_answer(99)});
}

TEST_F(Batches, BatchesAreBoundByThePacketSize) {
  const struct {
    const char* model;
    std::size_t pktsize;
  } rows[] = {{"QMX-8S1P-115A", 2048}, {"QMX-16S-115A", 4096}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.model);
    topo.remove(0, kTarget);
    QmxUnit& u = unit(r.model);
    use_arq();
    // The largest batch is accepted; one byte more is a size violation (ILI).
    std::vector<Bytes> polls((r.pktsize - 2) / 8, cmd({FAS_UNIT_POLL, 0}));
    Bytes full = batch_of(polls);
    full.resize(r.pktsize, kFill);
    EXPECT_TRUE(run(cdb6(SCMD_WRITE, full.size()), full).good());
    full.resize(r.pktsize + 2, kFill);
    const Outcome big = run(cdb6(SCMD_WRITE, full.size()), full);
    EXPECT_EQ(big.status, STATUS_CHECK);
    EXPECT_TRUE(big.ili());
    // Answers of two full batches leave in READs of at most the packet size.
    EXPECT_TRUE(write(polls).good());
    std::size_t answered = 0;
    for (int i = 0; i < 3; ++i) {
      const Outcome o = read();
      EXPECT_LE(o.data.size(), r.pktsize);
      answered += answers_of(o).size();
    }
    EXPECT_EQ(answered, 2 * polls.size());
    EXPECT_EQ(u.stats().writes, 2u);
  }
}

TEST_F(Batches, MalformedWriteIsRefusedWhole) {
  Bytes past = send_cmd(0, "abcdef");
  past.resize(10); // the count says 6 data bytes, 2 follow
  const struct {
    const char* name;
    Bytes data;
  } rows[] = {
      {"invalid opcode", {FAS_ENABLE, 0, 0, 0, 0, 0, 0, 0, 30, 0, 0, 0, 0, 0, 0, 0, PKT_END, 0}},
      {"header cut short", {FAS_ENABLE, 0, 0, 0, 0, 0, 0, 0, FAS_ENABLE, 1, 0, 0}},
      {"data past the end", past},
      {"no end", {FAS_ENABLE, 0, 0, 0, 0, 0, 0, 0}},
  };
  QmxUnit& u = unit();
  use_arq();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const Outcome o = run(cdb6(SCMD_WRITE, r.data.size()), r.data);
    EXPECT_EQ(o.status, STATUS_CHECK);
    EXPECT_EQ(o.key(), KEY_ILLEGAL_REQUEST);
    EXPECT_FALSE(o.ili());
  }
  EXPECT_FALSE(u.engine().line_state(0).enabled) << "nothing of a refused batch is carried out";
  EXPECT_EQ(u.engine().stats().commands, 0u);
}

TEST_F(Batches, UnitFaults) {
  QmxUnit& u = unit();
  open_line1();
  // A READ that never completes: the host's time-out ends it, and no answer is lost.
  pkt_time_ = 15;
  u.faults().stalled_reads = 1;
  u.peer(1)->send("kept");
  const Outcome stalled = read();
  EXPECT_EQ(stalled.reason, CMD_TIMEOUT);
  EXPECT_EQ(answers_of(read(kResendControl)), std::vector<Bytes>{recv_ans(1, 0, "kept")});
  pkt_time_ = 0;
  // A batch without its PKT_END, a raw batch, an injected malformed answer.
  ASSERT_TRUE(write({grant(1)}).good());
  u.faults().batches_no_end = 1;
  u.peer(1)->send("x");
  EXPECT_EQ(read().data, recv_ans(1, 0, "x"));
  u.faults().raw_batches.push_back({FAS_RECV, 1, 0, 0, 0x40, 0});
  EXPECT_EQ(read().data, (Bytes{FAS_RECV, 1, 0, 0, 0x40, 0}));
  u.engine().inject_answer(malformed::invalid_opcode());
  EXPECT_EQ(answers_of(read()), std::vector<Bytes>{malformed::invalid_opcode()});
}

TEST_F(Batches, ReprogrammingModeStopsTheFasFirmware) {
  QmxUnit& u = unit();
  use_arq();
  ASSERT_TRUE(write({cmd({FAS_ENABLE, 0})}).good());
  ASSERT_TRUE(run(cdb_write_buffer(0)).good());
  EXPECT_FALSE(u.engine().line_state(0).enabled);
  EXPECT_EQ(read().key(), KEY_NOT_READY);
  EXPECT_EQ(write({cmd({FAS_ENABLE, 0})}).key(), KEY_NOT_READY);
}

} // namespace
} // namespace qdemu::test
