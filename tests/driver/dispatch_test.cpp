// Answer dispatch: bad batches take the unit offline, statuses are reported or acted on by
// the status table, opcodes do what they mean for their line, statistics continue, and
// poll answers feed the answer-time estimate.
#include <string>
#include <vector>

#include "line_fixture.h"

namespace lineio_test {
namespace {

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct BadBatch {
  const char* what;
  Bytes batch;
  std::vector<std::string> console;
  bool dumped = true; // the receive packet is printed
};

void PrintTo(const BadBatch& b, std::ostream* os) {
  *os << b.what;
}

class DispatchBadBatch : public LineFixture, public ::testing::WithParamInterface<BadBatch> {};

TEST_P(DispatchBadBatch, TakesTheUnitOfflineAndDropsTheRest) {
  qd_line* lp = open_port(0);
  locked([&] { lp->missed_polls = 3; });
  // What follows the bad answer would reset the missed polls if it were processed.
  answer(GetParam().batch + fas_answer(FAS_INPUT_CTRL, 0));
  const std::string con = console();
  for (const std::string& text : GetParam().console) {
    EXPECT_NE(con.find(text), std::string::npos) << text << " in\n" << con;
  }
  EXPECT_EQ(con.find("Orvane FAS packet dump") != std::string::npos, GetParam().dumped) << con;
  EXPECT_NE(up_->qdu_flags & QDU_OFFLINE, 0u);
  EXPECT_NE(lp->qdl_flags & QDL_OFFLINE, 0u);
  EXPECT_EQ(lp->missed_polls, 3);
  EXPECT_EQ(up_->qdu_rcvpkt->qd_rptr, up_->qdu_rcvpkt->qd_wptr);
}

INSTANTIATE_TEST_SUITE_P(
    Batches, DispatchBadBatch,
    ::testing::Values(
        BadBatch{"invalid opcode", fas_answer(99, 0), {"Bad FAS command (invalid opcode): 63"}},
        BadBatch{"line out of range",
                 fas_answer(FAS_INPUT_CTRL, 9),
                 {"Orvane vrn3: line number 9 out of range\n", "R: 07090000 00000000"}},
        BadBatch{"no line record",
                 fas_answer(FAS_INPUT_CTRL, 5),
                 {"Orvane vrn3: NULL line ptr for line number 5\n"},
                 false},
        BadBatch{"answer larger than the receive packet",
                 Bytes{FAS_RECV, 0, 0, 0, 0x88, 0x13, 0, 0},
                 {"Orvane vrn3: answer runs past the bytes received\n"}}),
    [](const auto& info) {
      std::string name = info.param.what;
      std::erase(name, ' ');
      return name;
    });

using Dispatch = LineFixture;

TEST_F(Dispatch, StatusTable) {
  enum Effect { none, report, offline, overflow };
  struct Case {
    unsigned char status;
    unsigned char op;
    Effect effect;
    const char* name;
  };
  const Case cases[] = {
      {0, FAS_INPUT_CTRL, none, ""},
      {1, FAS_INPUT_CTRL, report, "ERR_MULT_CMD"},
      {1, FAS_STAT_CHG, none, ""},
      {1, FAS_OUTPUT_CTRL, none, ""},
      {0x81, FAS_INPUT_CTRL, report, "ERR_MULT_CMD"}, // bit 7 is not part of the status
      {2, FAS_INPUT_CTRL, report, "ERR_BAD_PARAM"},
      {2, FAS_SET_PARAMS, none, ""},
      {2, FAS_EXT_PARAMS, report, "ERR_BAD_PARAM"},
      {3, FAS_INPUT_CTRL, report, "ERR_NOT_PRESENT"},
      {4, FAS_INPUT_CTRL, none, ""},
      {5, FAS_INPUT_CTRL, none, ""},
      {6, FAS_INPUT_CTRL, none, ""},
      {7, FAS_INPUT_CTRL, report, "ERR_UNKNOWN"},
      {8, FAS_INPUT_CTRL, offline, ""},
      {8, FAS_OUTPUT_CTRL, none, ""},
      {8, FAS_STAT_CHG, none, ""},
      {8, FAS_WAIT_SEND, none, ""},
      {9, FAS_INPUT_CTRL, report, "ERR_BAD_CMD"},
      {10, FAS_INPUT_CTRL, none, ""},
      {11, FAS_INPUT_CTRL, none, ""},
      {12, FAS_INPUT_CTRL, overflow, ""},
      {13, FAS_INPUT_CTRL, offline, ""},
      {13, FAS_OUTPUT_CTRL, offline, ""},
      {14, FAS_INPUT_CTRL, none, ""},
      {15, FAS_INPUT_CTRL, report, "ERR_BUSY"},
      {15, FAS_ENABLE, none, ""},
      {15, FAS_RESET, none, ""},
      {16, FAS_INPUT_CTRL, report, "other"},
      {127, FAS_INPUT_CTRL, report, "other"},
  };
  qd_line* lp = open_port(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int{c.status} << " on " << int{c.op});
    locked([&] {
      lp->qdl_flags = QDL_INITDEINIT | QDL_ENABLED;
      lp->output = qdf_serial_output;
    });
    console();
    answer(fas_answer(c.op, 0, c.status));
    const std::string con = console();
    switch (c.effect) {
    case none:
      EXPECT_EQ(con, "");
      break;
    case report:
      EXPECT_EQ(con.rfind(std::string("qd: error (") + c.name + ") on cmd: R: ", 0), 0u) << con;
      break;
    case offline:
      EXPECT_EQ(con, "");
      break;
    case overflow:
      EXPECT_EQ(con, "Orvane vrn3 line 0: Input buffer overflow\n");
      break;
    }
    EXPECT_EQ((lp->qdl_flags & QDL_OFFLINE) != 0, c.effect == offline);
  }
}

// Answers without a line: errors are reported, an overflow is the unit's, and the line
// offline statuses have nothing to act on.
TEST_F(Dispatch, StatusOfUnitAnswers) {
  qd_line* lp = open_port(0);
  answer(fas_answer(FAS_UNIT_POLL, 0, 1));
  EXPECT_EQ(console().rfind("qd: error (ERR_MULT_CMD) on cmd: R: 15", 0), 0u);
  answer(fas_answer(FAS_UNIT_POLL, 0, 12));
  EXPECT_EQ(console(), "Orvane vrn3: Input buffer overflow\n");
  answer(fas_answer(FAS_UNIT_POLL, 0, 13));
  EXPECT_EQ(console(), "");
  EXPECT_EQ(lp->qdl_flags & QDL_OFFLINE, 0u);
}

TEST_F(Dispatch, OpcodeEffects) {
  struct Case {
    const char* what;
    unsigned char op, status;
    std::uint32_t before, after;
    int last_status; // -1: unchanged
  };
  const std::uint32_t on = QDL_INITDEINIT | QDL_ENABLED;
  const Case cases[] = {
      {"enable", FAS_ENABLE, 0, QDL_INITDEINIT | QDL_ENABLE_PEND, on | QDL_ENABLE_PEND, 0},
      {"enable busy", FAS_ENABLE, ERR_BUSY, QDL_INITDEINIT | QDL_ENABLE_PEND, on | QDL_ENABLE_PEND,
       ERR_BUSY},
      {"disable", FAS_DISABLE, 0x80, on | QDL_DISABLE_PEND | QDL_WAITSEND_OUT, QDL_INITDEINIT,
       0x80},
      {"flow control ends the enable", FAS_FLOW_CTRL, 0, on | QDL_ENABLE_PEND, on, -1},
      {"reset", FAS_RESET, 9, on | QDL_OFFLINE, on, 9},
  };
  qd_line* lp = open_port(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    locked([&] {
      lp->qdl_flags = c.before;
      lp->last_fas_status = 0x55;
      lp->modem_bits = TIOCM_DTR | TIOCM_RTS;
    });
    answer(fas_answer(c.op, 0, c.status));
    EXPECT_EQ(lp->qdl_flags, c.after);
    EXPECT_EQ(lp->last_fas_status, c.last_status < 0 ? 0x55 : c.last_status);
    EXPECT_EQ(lp->modem_bits, c.op == FAS_DISABLE ? 0u : unsigned{TIOCM_DTR | TIOCM_RTS});
  }
}

// An enable answered "offline" first takes the line offline; the status it leaves for the
// enable to act on depends on whether the unit resets lines before enabling them.
TEST_F(Dispatch, EnableAnsweredOffline) {
  qd_line* lp = open_port(0);
  for (std::uint32_t caps : {0u, QDU_CAP_RESET}) {
    locked([&] {
      up_->qdu_caps = caps;
      lp->qdl_flags = QDL_INITDEINIT | QDL_ENABLED | QDL_ENABLE_PEND;
    });
    answer(fas_answer(FAS_ENABLE, 0, FAS_ST_OFFLINE));
    EXPECT_NE(lp->qdl_flags & QDL_OFFLINE, 0u);
    EXPECT_NE(lp->qdl_flags & QDL_ENABLED, 0u);
    EXPECT_EQ(lp->last_fas_status, caps != 0 ? FAS_ST_OFFLINE : 0);
  }
}

TEST_F(Dispatch, InputPollsAreCountedAndLoggedSparingly) {
  qd_line* lp = open_port(0);
  for (int i = 0; i < 125; ++i) {
    locked([&] { lp->missed_polls = 4; });
    answer(fas_answer(FAS_INPUT_CTRL, 0));
    EXPECT_EQ(lp->missed_polls, 0);
  }
  EXPECT_EQ(lp->inputctrl_answers, 125);
  int logged = 0;
  for (const auto& entry : lp->fas_log) {
    logged += entry[0] == (FAS_INPUT_CTRL | 0x80);
  }
  EXPECT_EQ(logged, 3); // the 1st, 61st and 121st
  answer(fas_answer(FAS_SEND, 0));
  EXPECT_EQ(lp->fas_log_ptr, &lp->fas_log[4][0]) << "other answers are always logged";
}

TEST_F(Dispatch, StatisticsContinue) {
  open_port(0);
  struct Case {
    unsigned char op, line, status;
    const char* console;
    bool more;
  };
  const Case cases[] = {
      {FAS_UNIT_STATS, 0, 14, "part one", true},
      {FAS_UNIT_STATS, 0, 0, "part one\n\n", false},
      // The status table reports the error; the statistics are not shown.
      {FAS_UNIT_STATS, 0, ERR_BAD_CMD,
       "qd: error (ERR_BAD_CMD) on cmd: R: 10000900 08000000 (FAS_UNIT_STATS)\n", false},
      {FAS_MUX_STATS, 7, 14, "part one", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.op});
    answer(fas_answer(c.op, c.line, c.status, "part one"));
    EXPECT_EQ(console(), c.console);
    std::vector<FasCmd> cmds = take_commands();
    ASSERT_EQ(cmds.size(), c.more ? 1u : 0u);
    if (c.more) {
      EXPECT_EQ(cmds[0].op(), c.op);
      EXPECT_EQ(cmds[0].line(), c.line);
    }
  }
  // No packet for the next request: it is not asked for.
  std::vector<qd_pkt*> held = exhaust_pool();
  answer(fas_answer(FAS_UNIT_STATS, 0, 14, "x"));
  refill_pool(held);
  EXPECT_TRUE(take_commands().empty());
  console();
}

TEST_F(Dispatch, AnswerTimeEstimate) {
  qd_line* lp = open_port(0, 9600);
  qd_line* disabling = open_port(1, 9600);
  locked([&] { disabling->qdl_flags |= QDL_DISABLE_PEND; });
  auto poll_answer = [&](clock_t sent_ago) {
    locked([&] {
      up_->qdu_poll_sent = static_cast<int>(kernel_.lbolt() - sent_ago);
      ++qd_systime;
    });
    answer(fas_answer(FAS_UNIT_POLL, 0));
    EXPECT_EQ(up_->qdu_poll_time, qd_systime);
  };
  kernel_.advance(100);
  poll_answer(-5); // queued "in the future": only the answer time
  EXPECT_EQ(up_->qdu_srtt, 0);
  EXPECT_EQ(up_->qdu_rttvar, 0);
  poll_answer(40);
  EXPECT_EQ(up_->qdu_srtt, 10);
  EXPECT_EQ(up_->qdu_rttvar, 10);
  EXPECT_EQ(lp->send_size, 192); // 20 ticks of 9600 bit/s
  poll_answer(10);               // d = 0: the deviation shrinks by a quarter, truncated
  EXPECT_EQ(up_->qdu_srtt, 10);
  EXPECT_EQ(up_->qdu_rttvar, 8);
  poll_answer(2); // d = -8
  EXPECT_EQ(up_->qdu_srtt, 8);
  EXPECT_EQ(up_->qdu_rttvar, 8);
  EXPECT_EQ(lp->send_size, 153);
  EXPECT_EQ(disabling->send_size, 96) << "a line being disabled keeps its size";
}

} // namespace
} // namespace lineio_test
