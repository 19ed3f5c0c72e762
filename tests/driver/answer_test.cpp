// Cutting answers out of a unit's receive packet: SCSI batches bounded by what the READ
// delivered, Lanvara byte streams that arrive in pieces, and batches that cannot be parsed.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "driver_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;

// An answer header with a data count in bytes 4-5 and that many data bytes.
Bytes answer(unsigned char op, unsigned char line, unsigned count) {
  Bytes a(8 + count, 'x');
  std::fill_n(a.begin(), 8, 0);
  a[0] = op;
  a[1] = line;
  fas_put16(&a[4], count);
  return a;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) {
    all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}

// What a READ delivers: the bytes at the data start, qd_wptr behind them.
void deliver(qd_pkt* r, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), r->data);
  r->qd_rptr = r->data;
  r->qd_wptr = r->data + bytes.size();
}

// What the unit node's write side does with bytes from the relay daemon.
void append(qd_pkt* r, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), r->qd_wptr);
  r->qd_wptr += bytes.size();
  r->space_remaining -= static_cast<int>(bytes.size());
}

struct Cut {
  std::vector<long> sizes; // length of each answer returned, in order
  int malformed = 0;       // reported with the final null
};

Cut cut_all(qd_unit* up) {
  const HeldLock held(&up->unit_mutex);
  Cut c;
  for (int i = 0; i < 1000; ++i) {
    const unsigned char* before = up->qdu_rcvpkt->qd_rptr;
    unsigned char* a = qdm_getfasresponse(up, &c.malformed);
    if (a == nullptr) {
      break;
    }
    EXPECT_EQ(a, before);
    c.sizes.push_back(up->qdu_rcvpkt->qd_rptr - a);
  }
  return c;
}

using AnswerTest = DriverFixture;

// The first n bytes of an item.
Bytes first(const Bytes& b, std::size_t n) {
  return Bytes(b.begin(), b.begin() + n);
}

TEST_F(AnswerTest, ScsiBatches) {
  const Bytes send_ans{FAS_SEND, 1, 0, 0, 0, 0, 0, 0};
  const Bytes recv5 = answer(FAS_RECV, 2, 5);
  const Bytes end{PKT_END};
  struct Case {
    const char* what;
    Bytes delivered;
    std::vector<long> sizes;
    int malformed;
  };
  const std::vector<Case> cases = {
      {"send, recv with 5 bytes, end", cat({send_ans, recv5, end}), {8, 13}, 0},
      {"empty batch", {}, {}, 0},
      {"end only", end, {}, 0},
      {"whole answers, no end mark", cat({send_ans, send_ans}), {8, 8}, 0},
      {"data byte missing", cat({send_ans, first(recv5, 12)}), {8}, 1},
      {"header cut short", cat({send_ans, first(recv5, 4)}), {8}, 1},
      {"count far past the bytes", first(answer(FAS_RECV, 2, 300), 20), {}, 1},
      {"count past the 4096 bytes", cat({Bytes(4088, FAS_INPUT_CTRL), first(recv5, 8)}),
       std::vector<long>(511, 8), 1},
  };
  run([&] {
    qd_unit* up = make_unit("QMX-16S-115A", 0, 4);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      deliver(up->qdu_rcvpkt, c.delivered);
      const Cut got = cut_all(up);
      EXPECT_EQ(got.sizes, c.sizes);
      EXPECT_EQ(got.malformed, c.malformed);
      // Nothing moves past a bad answer: the caller dumps the packet as it stands.
      const unsigned char* stop = up->qdu_rcvpkt->qd_rptr;
      int again = -1;
      const HeldLock held(&up->unit_mutex);
      EXPECT_EQ(qdm_getfasresponse(up, &again), nullptr);
      EXPECT_EQ(again, c.malformed);
      EXPECT_EQ(up->qdu_rcvpkt->qd_rptr, stop);
    }
  });
}

TEST_F(AnswerTest, LanvaraAnswerSplitAcrossWrites) {
  run([] {
    qd_unit* up = make_unit("Lanvara16S-115A", 0, 5);
    qd_pkt* r = up->qdu_rcvpkt;
    const Bytes send_ans{FAS_SEND, 1, 0, 0, 0, 0, 0, 0};
    const Bytes recv = answer(FAS_RECV, 3, 5); // 13 bytes

    // A whole answer and the first 3 bytes of the next.
    append(r, cat({send_ans, first(recv, 3)}));
    Cut got = cut_all(up);
    EXPECT_EQ(got.sizes, std::vector<long>{8});
    EXPECT_EQ(got.malformed, 0);
    EXPECT_EQ(r->qd_rptr, r->data);
    EXPECT_EQ(r->qd_wptr, r->data + 3);
    EXPECT_EQ(r->space_remaining, 4091);
    EXPECT_EQ(std::memcmp(r->data, recv.data(), 3), 0);

    append(r, Bytes(recv.begin() + 3, recv.end()));
    got = cut_all(up);
    EXPECT_EQ(got.sizes, std::vector<long>{13});
    EXPECT_EQ(got.malformed, 0);
    EXPECT_EQ(r->qd_rptr, r->qd_wptr);
  });
}

TEST_F(AnswerTest, LanvaraAnswerLargerThanThePacketIsMalformed) {
  run([] {
    qd_unit* up = make_unit("Lanvara16S-115A", 0, 5);
    qd_pkt* r = up->qdu_rcvpkt;
    // 4094 bytes fit the packet and wait for the rest; 4095 never can.
    const Bytes fits = answer(FAS_RECV, 1, 4094 - 8);
    append(r, first(fits, 8));
    Cut got = cut_all(up);
    EXPECT_TRUE(got.sizes.empty());
    EXPECT_EQ(got.malformed, 0);

    qdm_vrn_resetrcvpkt(r);
    const Bytes too_big = answer(FAS_UNIT_STATS, 1, 4095 - 8);
    append(r, first(too_big, 8));
    got = cut_all(up);
    EXPECT_TRUE(got.sizes.empty());
    EXPECT_EQ(got.malformed, 1);
    EXPECT_EQ(r->qd_wptr, r->data + 8);
  });
}

} // namespace
