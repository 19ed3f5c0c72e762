// Printer output through the 8192-byte ring, and the FAS_SEND size of each kind of line.
#include <memory>
#include <vector>

#include "line_fixture.h"

namespace lineio_test {
namespace {

TEST(ParallelRing, CopiesWrapAndEndExactlyAtTheEnd) {
  auto ring = std::make_unique<qd_parq>();
  ring->rptr = ring->wptr = ring->data;
  ring->endptr = ring->data + QD_PARQ_SIZE;
  const std::string all = pattern(QD_PARQ_SIZE);
  auto in = [&](const std::string& s) {
    qdf_move_to_queue(reinterpret_cast<const unsigned char*>(s.data()), ring.get(),
                      static_cast<int>(s.size()));
  };
  auto out = [&](int n) {
    std::string s(static_cast<std::size_t>(n), '\0');
    qdf_move_from_queue(ring.get(), reinterpret_cast<unsigned char*>(s.data()), n);
    return s;
  };

  in(all); // fills it: the pointers meet at the end and only the count says full
  EXPECT_EQ(ring->count, QD_PARQ_SIZE);
  EXPECT_EQ(ring->wptr, ring->endptr);
  EXPECT_EQ(out(100), all.substr(0, 100));
  in(all.substr(0, 100)); // starts again at the data start
  EXPECT_EQ(ring->wptr, ring->data + 100);
  EXPECT_EQ(out(QD_PARQ_SIZE - 100), all.substr(100));
  EXPECT_EQ(ring->rptr, ring->endptr);
  in(all.substr(0, 300));
  // The read starts again at the data start too.
  EXPECT_EQ(out(400), all.substr(0, 100) + all.substr(0, 300));
  EXPECT_EQ(ring->count, 0);
  EXPECT_EQ(ring->rptr, ring->data + 400);
  in(all.substr(0, 8000));
  EXPECT_EQ(out(8000), all.substr(0, 8000)); // both copies wrap in the middle
  EXPECT_EQ(ring->rptr, ring->data + (400 + 8000) % QD_PARQ_SIZE);
}

using ParallelOutput = LineFixture;

TEST_F(ParallelOutput, LargeWriteFillsTheRingAndEachAnswerRefillsIt) {
  qd_line* lp = open_port(kPrinterPort);
  ASSERT_EQ(lp->send_size, 1536); // three quarters of a 2048-byte packet
  const std::string data = pattern(12000);
  ASSERT_EQ(write(kPrinterPort, data).value, 12000);
  EXPECT_EQ(lp->parq->count, QD_PARQ_SIZE);
  EXPECT_GT(lp->tty.t_writeq->q_count, 0u) << "what the ring cannot take waits queued";
  std::string sent;
  for (int round = 0; round < 50; ++round) {
    std::vector<FasCmd> sends = take_commands(FAS_SEND);
    if (sends.empty()) {
      break;
    }
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_LE(sends[0].data().size(), 1150u) << "the unit's limit is below the line's";
    EXPECT_LE(lp->parq->count, QD_PARQ_SIZE);
    sent += sends[0].data();
    answer(fas_answer(FAS_SEND, kPrinterPort));
  }
  EXPECT_EQ(sent, data);
  EXPECT_EQ(lp->parq->count, 0);
}

// Data that sits in the ring while output is stopped leaves when it is started again,
// even though nothing is left on the write queue.
TEST_F(ParallelOutput, StartResumesTheRing) {
  qd_line* lp = open_port(kPrinterPort);
  ASSERT_TRUE(ioctl(kPrinterPort, TCXONC, TCOOFF).ok());
  write(kPrinterPort, "page one");
  EXPECT_EQ(lp->parq->count, 8);
  EXPECT_TRUE(take_commands(FAS_SEND).empty());
  ASSERT_TRUE(ioctl(kPrinterPort, TCXONC, TCOON).ok());
  std::vector<FasCmd> sends = take_commands(FAS_SEND);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].data(), "page one");
}

// Neither an exhausted pool nor a send size of 0 may produce a header without data.
TEST_F(ParallelOutput, NothingEmptyGoesOut) {
  qd_line* lp = open_port(kPrinterPort);
  std::vector<qd_pkt*> held = exhaust_pool();
  write(kPrinterPort, "kept");
  EXPECT_EQ(lp->parq->count, 4);
  EXPECT_EQ(lp->qdl_flags & QDL_SEND_OUT, 0u);
  refill_pool(held);
  console();
  EXPECT_TRUE(take_commands().empty());

  locked([&] {
    lp->send_size = 0;
    qdf_start_parallel(lp);
  });
  EXPECT_TRUE(take_commands().empty());
  EXPECT_EQ(lp->qdl_flags & QDL_SEND_OUT, 0u);

  locked([&] {
    qd_set_curr_size_fassend(lp);
    qdf_start_parallel(lp);
  });
  std::vector<FasCmd> sends = take_commands();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].data(), "kept");
}

TEST_F(ParallelOutput, FlushEmptiesTheRing) {
  qd_line* lp = open_port(kPrinterPort);
  ASSERT_TRUE(ioctl(kPrinterPort, TCXONC, TCOOFF).ok());
  write(kPrinterPort, "discarded");
  ASSERT_TRUE(ioctl(kPrinterPort, TCFLSH, TCOFLUSH).ok());
  EXPECT_EQ(lp->parq->count, 0);
  EXPECT_EQ(lp->parq->rptr, lp->parq->data);
  EXPECT_EQ(lp->parq->wptr, lp->parq->data);
  ASSERT_TRUE(ioctl(kPrinterPort, TCXONC, TCOON).ok());
  EXPECT_TRUE(take_commands(FAS_SEND).empty());
}

TEST(SendSize, ByLineKindSpeedAndAnswerTime) {
  struct Case {
    const char* model;
    bool parallel;
    int speed;
    int srtt, rttvar;
    int max_send;
    int expect;
  };
  const Case cases[] = {
      {"QMX-8S-115A", false, 9600, 0, 0, 1150, 96},                 // a tenth of a second
      {"QMX-8S-115A", false, 1200, 0, 0, 1150, 16},                 // at least 16
      {"QMX-8S-115A", false, 460800, 0, 0, 1150, 1150},             // the unit's limit wins
      {"QMX-8S-115A", false, 9600, 50, 10, 1150, 576},              // one answer time of output
      {"QMX-8S-115A", false, 9600, 5, 5, 8, 8},                     // the limit wins over 16 too
      {"QMX-8S-115A", false, 460800, 1 << 20, 1 << 20, 4606, 4606}, // no overflow
      {"QMX-7POD-8S1P-57", true, 0, 0, 0, 574, 700},
      {"QMX-3P", true, 0, 0, 0, 4606, 4096 - 20},
      {"QMX-8S1P-57A", true, 0, 0, 0, 574, 2048 * 3 / 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    qd_unit unit{};
    unit.qdu_info = qdm_get_unitinfo(c.model);
    ASSERT_NE(unit.qdu_info, nullptr);
    unit.qdu_srtt = c.srtt;
    unit.qdu_rttvar = c.rttvar;
    unit.qdu_max_send = c.max_send;
    auto lp = std::make_unique<qd_line>();
    lp->unit = &unit;
    lp->speed = c.speed;
    lp->qdl_flags = c.parallel ? QDL_PARALLEL : 0;
    qd_set_curr_size_fassend(lp.get());
    EXPECT_EQ(lp->send_size, c.expect) << c.speed;
  }
  qd_set_curr_size_fassend(nullptr); // ignored
}

} // namespace
} // namespace lineio_test
