// The write put procedure, row by row for port nodes and for Lanvara unit nodes, and the
// unit node's receive steps.
#include <cstring>

#include "loaded_driver_fixture.h"
#include "qdio.h"

namespace loaded_test {
namespace {

class WritePut : public LoadedDriverFixture {
protected:
  void SetUp() override {
    LoadedDriverFixture::SetUp();
    unit_ = &topo_->add_qmx(0, 2, qdemu::QmxSpec{{.model = "QMX-8S-115A"}}.loopback({0}));
    load("vrn3=\"Lanvara8S-115A,10.0.0.3\";\nallow_unload=1;\n");
    console();
  }

  // Opens the node on a probe stream and forgets what the open sent up.
  void open_probe(ProbeStream& s, minor_t minor) {
    int r = -1;
    run([&] { r = s.open(minor); });
    ASSERT_EQ(r, 0);
    kernel_.settle();
    s.up.clear();
  }

  // Hands each message to qdwput and lets the kernel settle.
  void put(ProbeStream& s, mblk_t* (*make)()) {
    run([&] { s.put(make()); });
    kernel_.settle();
  }

  qd_unit* vrn() { return vrn_unit(3); }
  // A FAS_UNIT_POLL answer.
  static Bytes poll_answer() { return {FAS_UNIT_POLL, 0, 0, 0, 0, 0, 0, 0}; }

  qdemu::QmxUnit* unit_ = nullptr;
};

struct Row {
  const char* what;
  mblk_t* (*make)();
  std::vector<ProbeStream::Up> up; // what comes back, in order
  const char* console;
};

int ioc_error(const ProbeStream::Up& u) {
  return reinterpret_cast<const iocblk*>(u.bytes.data())->ioc_error;
}

TEST_F(WritePut, PortNodeRows) {
  const Row rows[] = {
      {"M_PROTO back unchanged",
       [] {
         return message(M_PROTO, {1, 2, 3});
       },
       {{M_PROTO, {1, 2, 3}}},
       ""},
      {"M_PCPROTO back", [] { return message(M_PCPROTO, {4}); }, {{M_PCPROTO, {4}}}, ""},
      {"M_CTL canon query",
       [] { return message(M_CTL, {MC_CANONQUERY}); },
       {{M_CTL, {MC_DO_CANON}}},
       ""},
      {"M_CTL no canon",
       [] { return message(M_CTL, {MC_NO_CANON}); },
       {{M_CTL, {MC_DO_CANON}}},
       ""},
      {"M_CTL empty", [] { return message(M_CTL); }, {}, ""},
      {"M_CTL other", [] { return message(M_CTL, {7}); }, {}, "qd: M_CTL: unknown message 7\n"},
      {"M_IOCNAK", [] { return message(M_IOCNAK, {0}); }, {}, ""},
      {"M_READ",
       [] {
         return message(M_READ, {0, 0, 0, 0});
       },
       {},
       ""},
      {"M_FLUSH write", [] { return message(M_FLUSH, {FLUSHW}); }, {}, ""},
      {"M_FLUSH read", [] { return message(M_FLUSH, {FLUSHR}); }, {{M_FLUSH, {FLUSHR}}}, ""},
      {"M_FLUSH both", [] { return message(M_FLUSH, {FLUSHRW}); }, {{M_FLUSH, {FLUSHR}}}, ""},
      {"M_START alone", [] { return message(M_START); }, {}, ""},
      {"M_STARTI alone", [] { return message(M_STARTI); }, {}, ""},
      {"M_SETOPTS", [] { return message(M_SETOPTS, {0}); }, {}, "qdwput: got unknown message 10\n"},
  };
  ProbeStream s;
  open_probe(s, 0x200);
  for (const Row& row : rows) {
    put(s, row.make);
    ASSERT_EQ(s.up.size(), row.up.size()) << row.what;
    for (std::size_t i = 0; i < row.up.size(); ++i) {
      EXPECT_EQ(s.up[i].type, row.up[i].type) << row.what;
      EXPECT_EQ(s.up[i].bytes, row.up[i].bytes) << row.what;
    }
    EXPECT_EQ(console(), row.console) << row.what;
    s.up.clear();
  }
  run([&] { s.close(); });
}

TEST_F(WritePut, IoctlRowsOfBothNodes) {
  struct IocRow {
    const char* what;
    minor_t minor;
    mblk_t* (*make)();
    unsigned char type;
    int error;
  };
  const IocRow rows[] = {
      {"port TCGETS", 0x200, [] { return ioctl_message(TCGETS); }, M_IOCACK, 0},
      {"port copy-out done", 0x200, [] { return iocdata_message(TIOCMGET, false); }, M_IOCACK, 0},
      {"port copy failed", 0x200, [] { return iocdata_message(TIOCMGET, true); }, M_IOCNAK, EINVAL},
      {"port unknown copy", 0x200, [] { return iocdata_message(0x1234, false); }, M_IOCNAK, EINVAL},
      {"unit node, port code", 0x103ff, [] { return ioctl_message(TCGETS); }, M_IOCNAK, ENXIO},
      {"unit node copy-out done", 0x103ff,
       [] { return iocdata_message(qd_ioc(VRNGETUPTR), false); }, M_IOCACK, 0},
      {"unit node copy failed", 0x103ff, [] { return iocdata_message(qd_ioc(VRNGETUPTR), true); },
       M_IOCNAK, EINVAL},
  };
  for (const IocRow& row : rows) {
    ProbeStream s;
    open_probe(s, row.minor);
    put(s, row.make);
    ASSERT_EQ(s.up.size(), 1u) << row.what;
    EXPECT_EQ(s.up[0].type, row.type) << row.what;
    EXPECT_EQ(ioc_error(s.up[0]), row.error) << row.what;
    run([&] { s.close(); });
  }
}

// Data goes out through the unit and, looped back, comes in again; M_STOP holds it until
// M_START; M_STOPI and M_STARTI block and free the port's input at the unit.
TEST_F(WritePut, DataAndFlowRowsReachTheUnit) {
  ProbeStream s;
  open_probe(s, 0x200);
  const auto data_up = [&] {
    std::string text;
    for (const ProbeStream::Up& u : s.up) {
      if (u.type == M_DATA) {
        text.append(u.bytes.begin(), u.bytes.end());
      }
    }
    return text;
  };
  put(s, [] { return message(M_DATA, {'a', 'b'}); });
  ASSERT_TRUE(kernel_.run_until([&] { return data_up() == "ab"; }, 5 * hz));

  const auto at_unit = [&](bool qdemu::LineState::*field, bool want) {
    return kernel_.run_until([&] { return unit_->engine().line_state(0).*field == want; }, 5 * hz);
  };
  put(s, [] { return message(M_STOP); });
  EXPECT_TRUE(at_unit(&qdemu::LineState::output_suspended, true));
  put(s, [] { return message(M_DATA, {'c'}); });
  kernel_.advance(2 * hz);
  EXPECT_EQ(data_up(), "ab");
  put(s, [] { return message(M_START); });
  ASSERT_TRUE(kernel_.run_until([&] { return data_up() == "abc"; }, 5 * hz));
  EXPECT_TRUE(at_unit(&qdemu::LineState::output_suspended, false));

  put(s, [] { return message(M_STOPI); });
  EXPECT_NE(line_of("ttyc20")->qdl_flags & QDL_STOPI, 0u);
  EXPECT_TRUE(at_unit(&qdemu::LineState::input_blocked, true));
  put(s, [] { return message(M_STARTI); });
  EXPECT_EQ(line_of("ttyc20")->qdl_flags & QDL_STOPI, 0u);
  EXPECT_TRUE(at_unit(&qdemu::LineState::input_blocked, false));

  put(s, [] { return message(M_DELAY, {10}); });
  put(s, [] { return message(M_DATA, {'d'}); });
  ASSERT_TRUE(kernel_.run_until([&] { return data_up() == "abcd"; }, 5 * hz));
  run([&] { s.close(); });
}

TEST_F(WritePut, UnitNodeRows) {
  ProbeStream s;
  open_probe(s, 0x103ff);
  qd_pkt* r = vrn()->qdu_rcvpkt;
  const auto held = [&] { return r->qd_wptr - r->qd_rptr; };

  // A packet for the daemon stays on the chain when no message block can be had.
  const auto queue_for_daemon = [&] {
    run([&] {
      mutex_enter(&vrn()->unit_mutex);
      std::memset(qdm_putfas(vrn(), 8), 0, 8);
      mutex_exit(&vrn()->unit_mutex);
    });
  };
  struct FlushRow {
    unsigned char how;
    bool answer_dropped;
    bool chain_dropped;
    bool back_up;
  };
  for (const FlushRow& f :
       {FlushRow{FLUSHW, true, false, false}, FlushRow{FLUSHR, false, true, true},
        FlushRow{FLUSHRW, true, true, true}}) {
    put(s, [] { return message(M_DATA, {FAS_UNIT_POLL, 0, 0}); }); // half an answer
    queue_for_daemon();
    ASSERT_EQ(held(), 3);
    s.up.clear();
    run([&] { s.put(message(M_FLUSH, {f.how})); });
    kernel_.settle();
    EXPECT_EQ(held(), f.answer_dropped ? 0 : 3) << int{f.how};
    EXPECT_EQ(vrn()->pkt_head == nullptr, f.chain_dropped) << int{f.how};
    EXPECT_EQ(s.types(),
              f.back_up ? std::vector<unsigned char>{M_FLUSH} : std::vector<unsigned char>{})
        << int{f.how};
    run([&] {
      mutex_enter(&vrn()->unit_mutex);
      qdm_freechain(vrn());
      qdm_vrn_resetrcvpkt(r);
      mutex_exit(&vrn()->unit_mutex);
    });
  }

  s.up.clear();
  put(s, [] { return message(M_CTL, {MC_CANONQUERY}); });
  EXPECT_TRUE(s.up.empty()) << "no other type has a row on a unit node";
  EXPECT_EQ(console(), "");
  run([&] { s.close(); });
  EXPECT_NE(vrn()->qdu_flags & QDU_OFFLINE, 0u) << "closing the unit node takes the unit offline";
}

// The daemon's writes need not keep to answer boundaries.
TEST_F(WritePut, UnitNodeJoinsSplitAnswers) {
  kemu::StreamFile daemon;
  ASSERT_EQ(open("vrnn3", daemon), 0);
  qd_unit* up = vrn();
  up->qdu_poll_time = 0;
  const Bytes a = poll_answer();
  EXPECT_EQ(write(daemon, std::string(a.begin(), a.begin() + 3)).value, 3);
  EXPECT_EQ(up->qdu_poll_time, 0) << "not a whole answer yet";
  EXPECT_EQ(up->qdu_rcvpkt->qd_wptr - up->qdu_rcvpkt->qd_rptr, 3);
  std::string rest(a.begin() + 3, a.end());
  rest += std::string(a.begin(), a.begin() + 2); // and the start of the next
  EXPECT_EQ(write(daemon, rest).value, 7);
  EXPECT_EQ(up->qdu_poll_time, qd_systime);
  EXPECT_EQ(up->qdu_rcvpkt->qd_rptr, up->qdu_rcvpkt->data)
      << "the partial answer moved to the start";
  EXPECT_EQ(up->qdu_rcvpkt->qd_wptr - up->qdu_rcvpkt->qd_rptr, 2);
  EXPECT_EQ(close(daemon), 0);
}

// An answer larger than the receive packet can ever hold ends the stream: the unit goes
// offline, the rest of what was written is dropped, and the next answer is read as usual.
TEST_F(WritePut, UnitNodeAnswerThatCannotFitTakesTheUnitOffline) {
  kemu::StreamFile daemon;
  ASSERT_EQ(open("vrnn3", daemon), 0);
  qd_unit* up = vrn();
  run([&] {
    mutex_enter(&up->unit_mutex);
    qdm_init_unit(up); // as VRNONLINE brings it up
    mutex_exit(&up->unit_mutex);
  });
  ASSERT_EQ(up->qdu_flags & QDU_OFFLINE, 0u);
  console();

  constexpr int kCount = 5000;
  std::string big(8 + kCount, 'x');
  big[0] = static_cast<char>(FAS_RECV);
  big[1] = 0;
  big[2] = 0;
  big[3] = 0;
  big[4] = static_cast<char>(kCount & 0xff);
  big[5] = static_cast<char>(kCount >> 8);
  EXPECT_EQ(write(daemon, big).value, static_cast<long>(big.size()));
  EXPECT_NE(up->qdu_flags & QDU_OFFLINE, 0u);
  EXPECT_EQ(up->qdu_rcvpkt->qd_wptr, up->qdu_rcvpkt->data);
  EXPECT_EQ(up->qdu_rcvpkt->space_remaining, QD_VRN_RCV_SPACE);
  EXPECT_NE(console().find("Module offline"), std::string::npos);

  up->qdu_poll_time = 0;
  const Bytes a = poll_answer();
  EXPECT_EQ(write(daemon, std::string(a.begin(), a.end())).value, 8);
  EXPECT_EQ(up->qdu_poll_time, qd_systime);
  EXPECT_EQ(close(daemon), 0);
}

} // namespace
} // namespace loaded_test
