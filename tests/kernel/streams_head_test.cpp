// Stream heads over the toy driver: opens and closes, reads and writes with flow control,
// hangups, signals, options, flushing and modules.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "streams_toy.h"

namespace {

using kemu::Kernel;
using kemu::StreamFile;
using toy::StreamsTest;

using HeadTest = StreamsTest;

TEST_F(HeadTest, EveryOpenReachesTheDriverAndOnlyTheLastCloseDoes) {
  StreamFile a, b, c;
  ASSERT_EQ(open(a, 1, FREAD | FWRITE, 100), 0);
  queue_t* rq = drv.rq.at(1);
  ASSERT_EQ(open(b, 1, FREAD, 200), 0);
  ASSERT_EQ(open(c, 2), 0);
  EXPECT_EQ(drv.rq.at(1), rq) << "the same stream";
  EXPECT_EQ(kemu::streams_open_count(), 2u);
  close(a);
  EXPECT_EQ(drv.events,
            (std::vector<std::string>{"open 1 sflag=0 uid=100", "open 1 sflag=0 uid=200",
                                      "open 2 sflag=0 uid=0"}));
  close(b);
  close(c);
  EXPECT_EQ(drv.events.size(), 5u);
  EXPECT_EQ(drv.events[3], "close 1");
  EXPECT_EQ(drv.events[4], "close 2");
  EXPECT_FALSE(a.is_open());
  EXPECT_EQ(kemu::as_user([&] { return a.close(); }), EBADF);
}

TEST_F(HeadTest, RefusedOpensLeaveNoStreamOrKeepTheOpenOne) {
  StreamFile a, b;
  drv.open_error = ENXIO;
  EXPECT_EQ(open(a, 1), ENXIO);
  EXPECT_EQ(kemu::streams_open_count(), 0u);
  drv.open_error = 0;
  ASSERT_EQ(open(a, 1), 0);
  drv.open_error = EBUSY;
  EXPECT_EQ(open(b, 1), EBUSY);
  EXPECT_FALSE(b.is_open());
  EXPECT_EQ(write(a, "ok").value, 2) << "the first open still works";
  close(a);
  EXPECT_EQ(std::count(drv.events.begin(), drv.events.end(), "close 1"), 1);
}

TEST_F(HeadTest, OpensOfOneNumberWaitForTheOneInsideTheDriver) {
  drv.gate_open = true;
  StreamFile a, b, other;
  int ra = -1, rb = -1;
  auto ta = k.spawn([&] { ra = kemu::stream_open(&drv.tab, dev(1), FREAD, nullptr, a); });
  auto tb = k.spawn([&] { rb = kemu::stream_open(&drv.tab, dev(1), FREAD, nullptr, b); });
  k.settle();
  EXPECT_EQ(drv.events, (std::vector<std::string>{"open 1 sflag=0 uid=0"}));
  // Another number is not held up.
  auto tc =
      k.spawn([&] { EXPECT_EQ(kemu::stream_open(&drv.tab, dev(2), FREAD, nullptr, other), 0); });
  k.settle();
  EXPECT_EQ(drv.events, (std::vector<std::string>{"open 1 sflag=0 uid=0", "open 2 sflag=0 uid=0"}));
  drv.release_gate();
  ASSERT_TRUE(ta->join());
  ASSERT_TRUE(tb->join());
  ASSERT_TRUE(tc->join());
  EXPECT_EQ(ra, 0);
  EXPECT_EQ(rb, 0);
  auto first_done = std::find(drv.events.begin(), drv.events.end(), "open 1 done");
  auto second = std::find(first_done, drv.events.end(), "open 1 sflag=0 uid=0");
  EXPECT_NE(second, drv.events.end()) << "the second open enters only after the first is done";
  close(a);
  close(b);
  close(other);
}

TEST_F(HeadTest, OpenDuringTheLastCloseWaitsAndGetsAFreshStream) {
  StreamFile a, b;
  ASSERT_EQ(open(a, 1), 0);
  queue_t* first_rq = drv.rq.at(1);
  drv.send_up(1, "stale");
  k.settle();
  drv.gate_close = true;
  auto closer = k.spawn([&] { a.close(); });
  k.settle();
  auto opener = k.spawn(
      [&] { EXPECT_EQ(kemu::stream_open(&drv.tab, dev(1), FREAD | FNDELAY, nullptr, b), 0); });
  k.settle();
  EXPECT_EQ(drv.events.back(), "close 1") << "the open waits for the close";
  drv.release_gate();
  ASSERT_TRUE(closer->join());
  ASSERT_TRUE(opener->join());
  EXPECT_EQ(drv.events.back(), "open 1 sflag=0 uid=0");
  EXPECT_NE(drv.rq.at(1), nullptr);
  (void)first_rq;
  std::string got;
  EXPECT_EQ(read(b, got).value, 0) << "nothing of the old stream's data";
  drv.gate_close = false;
  close(b);
}

TEST_F(HeadTest, WritesAreSplitAtTheDriversPacketSize) {
  drv.minfo.mi_maxpsz = 100;
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  std::string data(250, 'a');
  data[120] = 'b';
  EXPECT_EQ(write(f, data).value, 250);
  EXPECT_EQ(drv.written, data);
  EXPECT_EQ(drv.write_sizes, (std::vector<std::size_t>{100, 100, 50}));
  drv.minfo.mi_maxpsz = INFPSZ;
  close(f);
  ASSERT_EQ(open(f, 1), 0);
  drv.write_sizes.clear();
  EXPECT_EQ(write(f, std::string(5000, 'c')).value, 5000);
  EXPECT_EQ(drv.write_sizes,
            (std::vector<std::size_t>{kemu::kWriteCeiling, 5000 - kemu::kWriteCeiling}));
  close(f);
}

TEST_F(HeadTest, WriterBlocksOnAFullDriverQueueAndResumesWhenItDrains) {
  drv.hold_writes = true;
  drv.minfo.mi_maxpsz = 100;
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  std::string data;
  for (int i = 0; i < 2000; ++i) {
    data.push_back(static_cast<char>('a' + i % 26));
  }
  kemu::IoResult r;
  auto writer = k.spawn([&] { r = f.write(data); });
  k.settle();
  ASSERT_FALSE(writer->done());
  queue_t* wq = WR(drv.rq.at(1));
  EXPECT_EQ(wq->q_count, 600u) << "stopped at the first check past the high water mark (512)";

  std::string out = drv.drain_writes(1, 200); // 400 left: not below 128
  k.settle();
  EXPECT_FALSE(writer->done());
  EXPECT_EQ(wq->q_count, 400u);
  int rounds = 0;
  while (!writer->done() && rounds++ < 50) {
    out += drv.drain_writes(1, 10000);
    k.settle();
  }
  ASSERT_TRUE(writer->join());
  out += drv.drain_writes(1, 10000);
  EXPECT_EQ(r.value, 2000);
  EXPECT_EQ(out, data);
  close(f);
}

TEST_F(HeadTest, NonBlockingWritesStopAtAFullQueue) {
  drv.hold_writes = true;
  drv.minfo.mi_maxpsz = 100;
  StreamFile f;
  ASSERT_EQ(open(f, 1, FREAD | FWRITE | FNONBLOCK), 0);
  EXPECT_EQ(write(f, std::string(1000, 'x')).value, 600) << "the count written so far";
  EXPECT_EQ(write(f, "y").error, EAGAIN);
  f.set_flags(FNDELAY);
  EXPECT_EQ(f.flags() & (FNDELAY | FNONBLOCK), FNDELAY);
  EXPECT_EQ(write(f, "y").value, 0);
  EXPECT_EQ(drv.drain_writes(1, 10000).size(), 600u);
  close(f);
}

TEST_F(HeadTest, ReaderDrainingBelowLowWaterBackEnablesTheDriversReadService) {
  constexpr std::size_t kMsg = 500;
  const std::size_t taken = (kemu::kHeadHiwat + kMsg - 1) / kMsg; // until the head reads full
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  std::string sent;
  for (std::size_t i = 0; i < taken + 3; ++i) {
    sent += std::string(kMsg, static_cast<char>('a' + i % 26));
    drv.send_up(1, sent.substr(sent.size() - kMsg));
  }
  k.settle();
  queue_t* drq = drv.rq.at(1);
  EXPECT_EQ(drq->q_count, 3 * kMsg) << "the head took messages up to its high water mark";
  int runs = drv.service_runs;

  std::string all, got;
  const long above_low = static_cast<long>(taken * kMsg - kemu::kHeadLowat - kMsg);
  ASSERT_EQ(read(f, got, static_cast<std::size_t>(above_low)).value, above_low);
  all += got;
  k.settle();
  EXPECT_EQ(drv.service_runs, runs);
  ASSERT_EQ(read(f, got, 2 * kMsg).value, static_cast<long>(2 * kMsg)); // below the low mark
  all += got;
  k.settle();
  EXPECT_EQ(drv.service_runs, runs + 1);
  EXPECT_EQ(drq->q_count, 0u);

  for (int i = 0; i < 20 && all.size() < sent.size(); ++i) {
    ASSERT_TRUE(read(f, got).ok());
    all += got;
  }
  EXPECT_EQ(all, sent) << "order kept across the hold-up";
  close(f);
}

TEST_F(HeadTest, BlockedReadIsWokenByData) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  std::string got;
  kemu::IoResult r;
  auto reader = k.spawn([&] {
    std::string buf(100, '\0');
    r = f.read(std::as_writable_bytes(std::span(buf)));
    got = buf.substr(0, r.ok() ? static_cast<std::size_t>(r.value) : 0);
  });
  k.settle();
  EXPECT_FALSE(reader->done());
  drv.send_up(1, "hello");
  drv.send_up(1, " world");
  ASSERT_TRUE(reader->join());
  EXPECT_EQ(got, "hello world") << "byte-stream reads join what is queued";
  close(f);
}

TEST_F(HeadTest, EmptyReadsFollowTheOpenFlags) {
  struct Case {
    int flags;
    bool ndeloff;
    kemu::IoResult want;
  };
  const Case cases[] = {
      {FNDELAY, false, {0, 0}},
      {FNONBLOCK, false, {-1, EAGAIN}},
      {FNDELAY | FNONBLOCK, false, {-1, EAGAIN}},
      {FNDELAY, true, {-1, EAGAIN}},
  };
  for (const Case& c : cases) {
    StreamFile f;
    ASSERT_EQ(open(f, 1, FREAD | c.flags), 0);
    if (c.ndeloff) {
      stroptions so{};
      so.so_flags = SO_NDELOFF;
      mblk_t* mp = allocb(sizeof so, BPRI_MED);
      mp->b_datap->db_type = M_SETOPTS;
      std::memcpy(mp->b_wptr, &so, sizeof so);
      mp->b_wptr += sizeof so;
      k.call([&] { putnext(drv.rq.at(1), mp); });
    }
    std::string got;
    kemu::IoResult r = read(f, got);
    EXPECT_EQ(r.value, c.want.value) << "flags " << c.flags;
    EXPECT_EQ(r.error, c.want.error) << "flags " << c.flags;
    close(f);
  }
}

TEST_F(HeadTest, HangupDeliversQueuedDataThenEndOfFileAndStopsWrites) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  kemu::IoResult blocked_read;
  auto reader = k.spawn([&] {
    std::byte b[1];
    blocked_read = f.read(b);
  });
  k.settle();
  drv.send_ctl_up(1, M_HANGUP);
  ASSERT_TRUE(reader->join());
  EXPECT_EQ(blocked_read.value, 0) << "a blocked reader sees end of file";
  EXPECT_EQ(blocked_read.error, 0);

  k.call([&] { drv.send_up(1, "late data"); });
  k.settle();
  EXPECT_EQ(f.poll() & (kemu::kPollIn | kemu::kPollHup | kemu::kPollOut),
            kemu::kPollIn | kemu::kPollHup);
  std::string got;
  EXPECT_EQ(read(f, got).value, 9);
  EXPECT_EQ(got, "late data");
  EXPECT_EQ(read(f, got).value, 0);
  EXPECT_EQ(read(f, got).value, 0);
  EXPECT_EQ(write(f, "x").error, EIO);

  drv.send_ctl_up(1, M_UNHANGUP);
  EXPECT_EQ(write(f, "x").value, 1);
  close(f);
}

TEST_F(HeadTest, HangupEndsABlockedWriter) {
  drv.hold_writes = true;
  drv.minfo.mi_maxpsz = 100;
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  kemu::IoResult r;
  auto writer = k.spawn([&] { r = f.write(std::string(1000, 'x')); });
  k.settle();
  ASSERT_FALSE(writer->done());
  drv.send_ctl_up(1, M_HANGUP);
  ASSERT_TRUE(writer->join());
  EXPECT_EQ(r.value, 600) << "what went down before the hangup";
  drv.drain_writes(1, 10000);
  close(f);
}

TEST_F(HeadTest, SignalEndsBlockingReadAndWrite) {
  drv.hold_writes = true;
  drv.minfo.mi_maxpsz = 100;
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  kemu::IoResult rr, wr1, wr2;
  auto reader = k.spawn([&] {
    std::byte b[8];
    rr = f.read(b);
  });
  auto writer = k.spawn([&] {
    wr1 = f.write(std::string(1000, 'x')); // partial, then blocked
    wr2 = f.write("more");                 // blocked from the start: the signal is still pending
  });
  k.settle();
  k.post_signal(*reader);
  k.post_signal(*writer);
  ASSERT_TRUE(reader->join());
  ASSERT_TRUE(writer->join());
  EXPECT_EQ(rr.error, EINTR);
  EXPECT_EQ(wr1.value, 600);
  EXPECT_EQ(wr2.error, EINTR);
  drv.drain_writes(1, 10000);
  close(f);
}

mblk_t* setopts(const stroptions& so) {
  mblk_t* mp = allocb(sizeof so, BPRI_MED);
  mp->b_datap->db_type = M_SETOPTS;
  std::memcpy(mp->b_wptr, &so, sizeof so);
  mp->b_wptr += sizeof so;
  return mp;
}

TEST_F(HeadTest, SetoptsChangesWaterMarksAndReadMode) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  stroptions so{};
  so.so_flags = SO_HIWAT | SO_LOWAT | SO_READOPT | SO_ISTTY;
  so.so_hiwat = 10;
  so.so_lowat = 2;
  so.so_readopt = RMSGN;
  EXPECT_FALSE(f.is_tty());
  k.call([&] { putnext(drv.rq.at(1), setopts(so)); });
  EXPECT_TRUE(f.is_tty());
  drv.send_up(1, "abcdef");
  drv.send_up(1, "ghijkl");
  drv.send_up(1, "mnopqr");
  k.settle();
  EXPECT_EQ(drv.rq.at(1)->q_count, 6u) << "the head now takes 10 bytes at most";

  std::string got;
  EXPECT_EQ(read(f, got, 4).value, 4);
  EXPECT_EQ(got, "abcd");
  EXPECT_EQ(read(f, got).value, 2) << "message mode: one message per read";
  EXPECT_EQ(got, "ef");
  so.so_flags = SO_READOPT;
  so.so_readopt = RMSGD;
  k.call([&] { putnext(drv.rq.at(1), setopts(so)); });
  EXPECT_EQ(read(f, got, 3).value, 3);
  EXPECT_EQ(got, "ghi");
  k.settle();
  EXPECT_EQ(read(f, got).value, 6) << "the rest of the message was discarded";
  EXPECT_EQ(got, "mnopqr");
  close(f);
}

TEST_F(HeadTest, FlushFromBelowAndFromAbove) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  drv.send_up(1, "old input");
  k.settle();
  // From below: FLUSHRW flushes the head and comes back down with FLUSHW alone.
  drv.send_ctl_up(1, M_FLUSH, FLUSHRW);
  EXPECT_EQ(f.poll() & kemu::kPollIn, 0u);
  EXPECT_EQ(drv.flush_flags, (std::vector<unsigned char>{FLUSHW}));

  // From above: the driver turns FLUSHR back up, which the head follows.
  drv.send_up(1, "more input");
  k.settle();
  drv.flush_flags.clear();
  EXPECT_EQ(ioctl(f, I_FLUSH, FLUSHRW).value, 0);
  EXPECT_EQ(drv.flush_flags, (std::vector<unsigned char>{FLUSHRW}));
  EXPECT_EQ(f.poll() & kemu::kPollIn, 0u);
  EXPECT_EQ(ioctl(f, I_FLUSH, 7).error, EINVAL);
  close(f);
}

TEST_F(HeadTest, ErrorFromBelowFailsReadsAndWrites) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  drv.send_up(1, "data");
  k.settle();
  kemu::Kernel::current().call([&] {
    mblk_t* mp = allocb(2, BPRI_HI);
    mp->b_datap->db_type = M_ERROR;
    *mp->b_wptr++ = EPROTO;
    *mp->b_wptr++ = ENXIO;
    putnext(drv.rq.at(1), mp);
  });
  std::string got;
  EXPECT_EQ(read(f, got).error, EPROTO);
  EXPECT_EQ(write(f, "x").error, ENXIO);
  EXPECT_NE(f.poll() & kemu::kPollErr, 0u);
  close(f);
}

TEST_F(HeadTest, BreaksControlAndProtocolMessagesFromBelowAreDropped) {
  StreamFile f;
  ASSERT_EQ(open(f, 1, FREAD | FNONBLOCK), 0);
  k.call([&] {
    for (unsigned char type : {M_BREAK, M_CTL, M_PROTO, M_PCPROTO, M_STOP}) {
      mblk_t* mp = allocb(4, BPRI_MED);
      mp->b_datap->db_type = type;
      mp->b_wptr += 4;
      putnext(drv.rq.at(1), mp);
    }
  });
  EXPECT_EQ(f.poll() & kemu::kPollIn, 0u);
  std::string got;
  EXPECT_EQ(read(f, got).error, EAGAIN);
  close(f);
}

TEST_F(HeadTest, NotifyTellsOfDataAndHangup) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  int calls = 0;
  f.set_notify([&] { ++calls; });
  EXPECT_EQ(f.poll(), kemu::kPollOut);
  drv.send_up(1, "x");
  k.settle();
  EXPECT_GE(calls, 1);
  EXPECT_EQ(f.poll(), kemu::kPollIn | kemu::kPollOut);
  int before = calls;
  drv.send_ctl_up(1, M_HANGUP);
  EXPECT_GT(calls, before);
  close(f);
}

TEST_F(HeadTest, AutopushedModulesArePoppedAndDataThenGoesStraightToTheDriver) {
  kemu::set_autopush(77, 5, 5, {"passthru", "passthru"});
  StreamFile f, plain;
  ASSERT_EQ(open(f, 5), 0);
  ASSERT_EQ(open(plain, 6), 0);
  char name[FMNAMESZ + 1] = {};
  EXPECT_EQ(ioctl(f, I_LOOK, name).value, 0);
  EXPECT_STREQ(name, "passthru");
  EXPECT_EQ(ioctl(plain, I_LOOK, name).error, EINVAL) << "the autopush list names minor 5 only";
  EXPECT_EQ(ioctl(plain, I_POP, 0).error, EINVAL);

  queue_t* head_wq = nullptr;
  queue_t* drv_wq = WR(drv.rq.at(5));
  EXPECT_EQ(write(f, "through modules").value, 15);
  EXPECT_EQ(ioctl(f, I_POP, 0).value, 0);
  EXPECT_EQ(ioctl(f, I_POP, 0).value, 0);
  EXPECT_EQ(ioctl(f, I_POP, 0).error, EINVAL);
  head_wq = backq(drv_wq);
  ASSERT_NE(head_wq, nullptr);
  EXPECT_NE(head_wq->q_flag & QHEAD, 0u) << "nothing left between head and driver";
  EXPECT_EQ(backq(drv.rq.at(5)), nullptr);
  EXPECT_EQ(write(f, "+direct").value, 7);
  EXPECT_EQ(drv.written, "through modules+direct");
  drv.send_up(5, "up");
  k.settle();
  std::string got;
  EXPECT_EQ(read(f, got).value, 2);

  EXPECT_EQ(ioctl(f, I_PUSH, "nosuch").error, EINVAL);
  EXPECT_EQ(ioctl(f, I_PUSH, "passthru").value, 0);
  EXPECT_EQ(ioctl(f, I_LOOK, name).value, 0);
  close(f);
  close(plain);
}

// A module that counts its opens and closes.
int g_mod_opens, g_mod_closes;
int counting_open(queue_t* q, dev_t*, int, int sflag, cred_t*) {
  if (sflag != MODOPEN) {
    return EINVAL;
  }
  ++g_mod_opens;
  qprocson(q);
  return 0;
}
int counting_close(queue_t* q, int, cred_t*) {
  ++g_mod_closes;
  qprocsoff(q);
  return 0;
}
int counting_put(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}
module_info counting_info{1, "counting", 0, INFPSZ, 0, 0};
qinit counting_r{counting_put, nullptr,        counting_open, counting_close,
                 nullptr,      &counting_info, nullptr};
qinit counting_w{counting_put, nullptr, nullptr, nullptr, nullptr, &counting_info, nullptr};
streamtab counting_tab{&counting_r, &counting_w, nullptr, nullptr};

TEST_F(HeadTest, AutopushHappensAtTheFirstOpenAndModulesAreReopenedAndClosedWithTheStream) {
  g_mod_opens = g_mod_closes = 0;
  kemu::register_module("counting", &counting_tab);
  kemu::set_autopush(77, 0, 9, {"counting"});
  StreamFile a, b;
  ASSERT_EQ(open(a, 3), 0);
  ASSERT_EQ(open(b, 3), 0);
  EXPECT_EQ(g_mod_opens, 2);
  close(a);
  EXPECT_EQ(g_mod_closes, 0);
  close(b);
  EXPECT_EQ(g_mod_closes, 1);

  kemu::set_autopush(77, 0, 9, {"counting", "missing"});
  EXPECT_EQ(open(a, 3), EINVAL) << "a module that cannot be pushed fails the open";
  EXPECT_EQ(g_mod_closes, 2) << "what was pushed is popped again";
  EXPECT_EQ(drv.events.back(), "close 3");
  kemu::unregister_module("counting");
}

} // namespace
