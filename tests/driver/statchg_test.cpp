// Status change answers: carrier on serial ports, printer state, and the one status
// request kept outstanding per line.
#include "openclose_fixture.h"

namespace {

class StatChgTest : public OpenCloseFixture {
protected:
  // An enabled, open dial-in line of an online Lanvara unit that answers by itself.
  qd_line* open_port(const char* model, unsigned line, LineStream* s, bool nonblock = true) {
    qd_line* lp = nullptr;
    run([&] {
      u_ = &lanvara(model);
      lp = port(*u_, line);
      u_->start_serving();
    });
    int err = -1;
    run([&] { err = open_line(lp, Node::dialin, nonblock, s); });
    EXPECT_EQ(err, 0);
    kernel_.advance(2); // the first status answer
    return lp;
  }
  // Serial masks re-arm the carrier report; printer masks online, error and paper.
  std::vector<unsigned> stat_masks(unsigned line) const {
    std::vector<unsigned> out;
    for (const auto& c : u_->seen(FAS_STAT_CHG, static_cast<int>(line))) {
      out.push_back(c.b[2]);
    }
    return out;
  }
  ScriptedUnit* u_ = nullptr;
};

TEST_F(StatChgTest, CarrierLossOnAModemLineHangsUpFlushesAndDropsDtr) {
  LineStream* s = stream();
  qd_line* lp = open_port("Lanvara16S-230A", 2, s);
  run([&] { u_->set_carrier(2, true); });
  kernel_.advance(2);
  ASSERT_NE(lp->qdl_flags & QDL_CARRIER, 0u);
  EXPECT_NE(lp->modem_bits & TIOCM_CAR, 0u);
  EXPECT_EQ(s->types, std::vector<unsigned char>{M_UNHANGUP});

  run([&] { u_->forget(); });
  run([&] { u_->set_carrier(2, false); });
  kernel_.advance(2);

  EXPECT_EQ(lp->qdl_flags & QDL_CARRIER, 0u);
  EXPECT_NE(lp->qdl_flags & QDL_HELD, 0u);
  EXPECT_EQ(lp->output, &qdf_drain_output);
  EXPECT_EQ(lp->modem_bits & (TIOCM_CAR | TIOCM_DTR), 0u);
  EXPECT_EQ(s->types, (std::vector<unsigned char>{M_UNHANGUP, M_HANGUP}));
  // Output flushed at the unit, then DTR lowered with RTS left alone; HUPCL is clear by
  // default, so both operation bytes carry bit 7.
  const auto flush = u_->seen(FAS_OUTPUT_CTRL, 2);
  ASSERT_EQ(flush.size(), 1u);
  EXPECT_EQ(flush[0].b[4], 1);
  const auto modem = u_->seen(FAS_SET_MODEM, 2);
  ASSERT_EQ(modem.size(), 1u);
  EXPECT_EQ(modem[0].b[2], 0x80);
  EXPECT_EQ(modem[0].b[3], 0x82);

  // Carrier back: the hold ends and the stream hears of it.
  run([&] { u_->set_carrier(2, true); });
  kernel_.advance(2);
  EXPECT_EQ(lp->qdl_flags & QDL_HELD, 0u);
  EXPECT_EQ(lp->output, &qdf_serial_output);
  EXPECT_EQ(s->types, (std::vector<unsigned char>{M_UNHANGUP, M_HANGUP, M_UNHANGUP}));
}

TEST_F(StatChgTest, CarrierLossOnALocalLineOnlyClearsTheFlag) {
  struct Case {
    const char* name;
    bool clocal;
    bool softcar;
  };
  for (const Case& c : {Case{"CLOCAL", true, false}, Case{"soft carrier", false, true}}) {
    SCOPED_TRACE(c.name);
    LineStream* s = stream();
    qd_line* lp = open_port("Lanvara16S-230A", 1, s);
    locked(lp, [&] {
      if (c.clocal) {
        lp->tty.t_cflag |= CLOCAL;
      }
      if (c.softcar) {
        lp->tty.t_flags |= TS_SOFTCAR;
        qdf_setsoftcarr(lp);
      }
    });
    run([&] { u_->set_carrier(1, true); });
    kernel_.advance(2);
    run([&] { u_->set_carrier(1, false); });
    kernel_.advance(2);
    EXPECT_EQ(lp->qdl_flags & (QDL_CARRIER | QDL_HELD), 0u);
    EXPECT_EQ(lp->output, &qdf_serial_output);
    EXPECT_FALSE(has(s->types, M_HANGUP));
    EXPECT_TRUE(u_->seen(FAS_OUTPUT_CTRL, 1).empty());
    EXPECT_NE(lp->modem_bits & TIOCM_DTR, 0u);
    run([&] { u_->stop_serving(); });
  }
}

TEST_F(StatChgTest, SerialStateBitsAndReArming) {
  qd_line* lp = open_port("Lanvara16S-230A", 0, stream());
  run([&] { u_->set_state(0, 0x04 | 0x02 | 0x01); });
  kernel_.advance(2);
  EXPECT_EQ(lp->modem_bits & (TIOCM_CAR | TIOCM_DSR | TIOCM_CTS),
            static_cast<std::uint32_t>(TIOCM_CAR | TIOCM_DSR | TIOCM_CTS));
  run([&] { u_->set_state(0, 0x04); });
  kernel_.advance(2);
  EXPECT_EQ(lp->modem_bits & (TIOCM_CAR | TIOCM_DSR | TIOCM_CTS),
            static_cast<std::uint32_t>(TIOCM_CAR));
  // The enable's request asks for the state at once; each answer re-arms the carrier mask.
  EXPECT_EQ(stat_masks(0), (std::vector<unsigned>{0x84, 0x04, 0x04, 0x04}));
}

TEST_F(StatChgTest, NoReArmAfterAnErrorStatusAModemQueryOrOnAnOfflineLine) {
  qd_line* lp = open_port("Lanvara16S-230A", 0, stream());
  run([&] { u_->stop_serving(); });
  const std::size_t before = stat_masks(0).size();
  struct Case {
    const char* name;
    unsigned char status;
    std::uint32_t flags;
  };
  for (const Case& c : {Case{"error status", 7, 0}, Case{"modem query", 0, QDL_UTIL_WAIT},
                        Case{"offline", 0, QDL_OFFLINE}}) {
    SCOPED_TRACE(c.name);
    locked(lp, [&] {
      const std::uint32_t saved = lp->qdl_flags;
      lp->qdl_flags |= c.flags;
      unsigned char a[8] = {FAS_STAT_CHG, 0, c.status, 0x04};
      qdf_handle_stat_chg(lp, a);
      EXPECT_EQ(lp->qdl_flags & QDL_UTIL_WAIT, 0u);
      lp->qdl_flags = (lp->qdl_flags & ~c.flags) | (saved & c.flags);
    });
    run([&] { u_->serve(); });
    EXPECT_EQ(stat_masks(0).size(), before);
  }
  // An answer that is none of these re-arms.
  locked(lp, [&] {
    unsigned char a[8] = {FAS_STAT_CHG, 0, 0, 0x04};
    qdf_handle_stat_chg(lp, a);
  });
  run([&] { u_->serve(); });
  EXPECT_EQ(stat_masks(0).size(), before + 1);
}

TEST_F(StatChgTest, PrinterStateBits) {
  qd_line* lp = open_port("Lanvara8S1P-115", 8, stream());
  lp->err_level = 2;
  console();
  struct Case {
    unsigned char state;
    std::uint32_t bits;
    std::vector<const char*> messages;
  };
  const Case cases[] = {
      {0x01, TIOCM_CTS | TIOCM_CAR | TIOCM_DSR, {}},
      {0x08, TIOCM_DSR, {"Paper out at printer", "Printer not online"}},
      {0x03, TIOCM_CTS | TIOCM_CAR, {"Error condition at printer"}},
      {0x0A, 0, {"Paper out at printer", "Printer not online", "Error condition at printer"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.state));
    run([&] { u_->set_state(8, c.state); });
    kernel_.advance(2);
    EXPECT_EQ(lp->modem_bits & (TIOCM_CTS | TIOCM_CAR | TIOCM_DSR), c.bits);
    const std::string out = messages();
    std::size_t from = 0;
    for (const char* m : c.messages) {
      const std::size_t at = out.find(m, from);
      EXPECT_NE(at, std::string::npos) << m << " in " << out;
      from = at == std::string::npos ? from : at;
    }
    EXPECT_EQ(static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')),
              c.messages.size());
  }
  const auto masks = stat_masks(8);
  ASSERT_FALSE(masks.empty());
  EXPECT_EQ(masks.front(), 0x8Bu);
  EXPECT_TRUE(std::all_of(masks.begin() + 1, masks.end(), [](unsigned m) { return m == 0x0B; }));

  // At the default error level the printer reports stay quiet.
  lp->err_level = 1;
  run([&] { u_->set_state(8, 0x08); });
  kernel_.advance(2);
  EXPECT_EQ(messages(), "");
}

} // namespace

namespace {

// A modem status query waits for the next status answer; it gets the modem word, or a
// refusal when the unit reports an error.
TEST_F(StatChgTest, ModemQueryCompletedByTheStatusAnswer) {
  LineStream* s = stream();
  qd_line* lp = open_port("Lanvara16S-230A", 7, s);
  run([&] { u_->stop_serving(); });
  struct Case {
    unsigned char status;
    unsigned char reply;
  };
  for (const Case& c : {Case{0, M_IOCACK}, Case{ERR_UNKNOWN, M_IOCNAK}}) {
    SCOPED_TRACE(static_cast<int>(c.status));
    s->types.clear();
    const std::size_t requests = stat_masks(7).size();
    locked(lp, [&] {
      mblk_t* mp = allocb(sizeof(iocblk), BPRI_MED);
      ASSERT_NE(mp, nullptr);
      mp->b_datap->db_type = M_IOCTL;
      auto* io = reinterpret_cast<iocblk*>(mp->b_rptr);
      *io = iocblk{};
      io->ioc_cmd = TIOCMGET;
      mp->b_wptr += sizeof(iocblk);
      lp->getmdm = mp;
      lp->qdl_flags |= QDL_UTIL_WAIT;
      u_->answer_now({FAS_STAT_CHG, 7, c.status, 0x02});
    });
    EXPECT_EQ(s->types, std::vector<unsigned char>{c.reply});
    EXPECT_EQ(lp->getmdm, nullptr);
    EXPECT_EQ(lp->qdl_flags & QDL_UTIL_WAIT, 0u);
    run([&] { u_->serve(); });
    EXPECT_EQ(stat_masks(7).size(), requests);
  }
}

} // namespace
