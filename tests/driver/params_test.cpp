// The termios of a port turned into the unit's parameter and flow commands.
#include "openclose_fixture.h"

namespace {

class ParamsTest : public OpenCloseFixture {
protected:
  // An enabled, open port of the model; the unit's commands so far forgotten.
  qd_line* enabled(const char* model, unsigned line) {
    qd_line* lp = nullptr;
    run([&] {
      u_ = &lanvara(model);
      lp = port(*u_, line);
      u_->start_serving();
      EXPECT_EQ(open_line(lp, Node::dialin, true), 0);
    });
    kernel_.advance(2);
    run([&] { u_->forget(); });
    return lp;
  }
  // Sets the modes and runs qdf_note_termios; the commands it queued are then taken.
  int note(qd_line* lp, tcflag_t cflag, tcflag_t iflag, int speed_ext = 0, bool force = false) {
    int r = -1;
    locked(lp, [&] {
      if (force) {
        lp->last_params[0] = 255;
      }
      lp->tty.t_cflag = cflag;
      lp->tty.t_iflag = iflag;
      lp->speed_ext = speed_ext;
      r = qdf_note_termios(lp);
    });
    kernel_.advance(1);
    return r;
  }
  std::vector<Cmd> cmds() const {
    std::vector<Cmd> out;
    for (const auto& c : u_->seen()) {
      out.push_back(c.b);
    }
    return out;
  }
  ScriptedUnit* u_ = nullptr;
};

// FAS_SET_MODEM as queued: the bytes it does not write keep the packet fill.
constexpr oc_test::Cmd modem(unsigned char line, unsigned char rts, unsigned char dtr) {
  return {FAS_SET_MODEM, line, rts, dtr, 0xCC, 0xCC, 0xCC, 0xCC};
}

constexpr tcflag_t B(int index) {
  return index < 16 ? static_cast<tcflag_t>(index) : (static_cast<tcflag_t>(index - 16) | CBAUDEXT);
}
constexpr tcflag_t IB(int index) {
  return index < 16 ? static_cast<tcflag_t>(index) << IBSHIFT
                    : (static_cast<tcflag_t>(index - 16) << IBSHIFT | CIBAUDEXT);
}

// Byte layouts of both parameter commands, and of the flow command.
TEST_F(ParamsTest, CommandLayouts) {
  struct Case {
    const char* name;
    const char* model;
    unsigned line;
    tcflag_t cflag;
    tcflag_t iflag;
    int speed_ext;
    Cmd params;
    Cmd flow;
    int speed;
  };
  const Case cases[] = {
      {"new layout, 8N1",
       "Lanvara16S-230A",
       2,
       B(13) | CS8 | CREAD,
       IXON,
       0,
       {24, 2, 3, 0, 0, 1, 10, 10},
       {12, 2, 0, 1, 0x11, 0x13, 0xFE, 0x08},
       9600},
      {"7O2 with its own input speed",
       "Lanvara16S-230A",
       2,
       B(15) | IB(9) | CS7 | CSTOPB | PARENB | PARODD,
       IXON | IXANY | IXOFF,
       0,
       {24, 2, 2, 2, 1, 0, 12, 5},
       {12, 2, 1, 3, 0x11, 0x13, 0xFE, 0x08},
       38400},
      {"extended speeds, even parity",
       "Lanvara16S-230A",
       2,
       B(20) | IB(18) | CS8 | CREAD | PARENB,
       IXANY,
       0,
       {24, 2, 3, 0, 2, 1, 34, 15},
       {12, 2, 0, 0, 0x11, 0x13, 0xFE, 0x08},
       230400},
      {"speed extension added to the index",
       "Lanvara16S-230A",
       2,
       B(15) | CS5 | CREAD,
       0,
       3,
       {24, 2, 0, 0, 0, 1, 15, 15},
       {12, 2, 0, 0, 0x11, 0x13, 0xFE, 0x08},
       115200},
      {"hardware flow control",
       "Lanvara16S-230A",
       2,
       B(13) | CS8 | CRTSCTS,
       IXOFF,
       0,
       {24, 2, 3, 0, 0, 0, 10, 10},
       {12, 2, 0x81, 0x80, 0x11, 0x13, 0xFE, 0x08},
       9600},
      {"old layout packs both codes",
       "Lanvara8S1P-115",
       3,
       B(13) | IB(11) | CS8 | CREAD,
       IXON,
       0,
       {11, 3, 3, 0, 0, 1, 0x8A, 0},
       {12, 3, 0, 1, 0x11, 0x13, 0x7E, 0x04},
       9600},
      {"old layout on a printer port",
       "Lanvara8S1P-115",
       8,
       B(12) | CS8 | CREAD,
       0,
       0,
       {11, 8, 3, 0, 0, 1, 0x99, 0},
       {12, 8, 0, 0, 0x11, 0x13, 0x7E, 0x04},
       4800},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qd_line* lp = enabled(c.model, c.line);
    EXPECT_EQ(note(lp, c.cflag, c.iflag, c.speed_ext, true), 2);
    EXPECT_EQ(cmds(), (std::vector<Cmd>{c.params, c.flow}));
    EXPECT_EQ(lp->speed, c.speed);
    EXPECT_EQ(std::memcmp(lp->last_params, c.params.data(), 8), 0);
    EXPECT_EQ(std::memcmp(lp->last_flow, c.flow.data(), 8), 0);
    run([&] { u_->stop_serving(); });
  }
}

TEST_F(ParamsTest, OnlyChangesAreSentAndThenBothCommands) {
  qd_line* lp = enabled("Lanvara16S-230A", 0);
  const tcflag_t cflag = lp->tty.t_cflag;
  const tcflag_t iflag = lp->tty.t_iflag;
  EXPECT_EQ(note(lp, cflag, iflag), 0);
  EXPECT_TRUE(cmds().empty());

  // A change of the flow settings alone sends the parameters too.
  EXPECT_EQ(note(lp, cflag | CRTSCTS, iflag), 2);
  EXPECT_EQ(u_->opcodes(), (std::vector<unsigned char>{FAS_EXT_PARAMS, FAS_FLOW_CTRL}));
  run([&] { u_->forget(); });
  EXPECT_EQ(note(lp, cflag | CRTSCTS, iflag), 0);
  EXPECT_EQ(note(lp, (cflag | CRTSCTS | PARENB), iflag), 2);
  EXPECT_EQ(u_->opcodes(), (std::vector<unsigned char>{FAS_EXT_PARAMS, FAS_FLOW_CTRL}));

  // Loopback is part of the parameters.
  run([&] { u_->forget(); });
  locked(lp, [&] { lp->qdl_flags |= QDL_LOOPBACK; });
  EXPECT_EQ(note(lp, cflag | CRTSCTS | PARENB, iflag), 2);
  ASSERT_EQ(cmds().size(), 2u);
  EXPECT_EQ(cmds()[0][5], 0x81);
}

TEST_F(ParamsTest, UnusableSpeedSendsNothing) {
  qd_line* lp = enabled("Lanvara16S-230A", 1);
  struct Case {
    const char* name;
    tcflag_t cflag;
    int speed_ext;
  };
  for (const Case& c : {Case{"output index past the table", B(23) | CS8, 0},
                        Case{"input index past the table", B(13) | IB(30) | CS8, 0},
                        Case{"extension past the table", B(20) | CS8, 3}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(note(lp, c.cflag, 0, c.speed_ext), 1);
    EXPECT_TRUE(cmds().empty());
  }
}

TEST_F(ParamsTest, HangUpSpeedDropsModemSignalsAndKeepsTheDefaultSpeed) {
  struct Case {
    const char* name;
    tcflag_t ttymodes; // 0: none
    unsigned char code;
    int speed;
  };
  for (const Case& c : {Case{"no ttymodes", 0, 10, 9600}, Case{"ttymodes", B(14) | CS8, 11, 19200},
                        Case{"ttymodes at B0", CS8, 10, 9600}}) {
    SCOPED_TRACE(c.name);
    termios modes{};
    modes.c_cflag = c.ttymodes;
    qd_line* lp = enabled("Lanvara16S-230A", 3);
    dflt_termios = c.ttymodes != 0 ? &modes : nullptr;
    // (the parameters forced out: at 9600 they would equal what the enable sent)
    EXPECT_EQ(note(lp, B(0) | CS8 | CREAD, IXON, 0, true), 2);
    EXPECT_EQ(cmds(), (std::vector<Cmd>{modem(3, 0x80, 0x82),
                                        modem(3, 0x82, 0x80),
                                        {24, 3, 3, 0, 0, 1, c.code, c.code},
                                        {12, 3, 0, 1, 0x11, 0x13, 0xFE, 0x08}}));
    EXPECT_EQ(lp->modem_bits & (TIOCM_DTR | TIOCM_RTS), 0u);
    EXPECT_EQ(lp->speed, c.speed);
    dflt_termios = nullptr;
    run([&] { u_->stop_serving(); });
  }
}

TEST_F(ParamsTest, HupclFollowsTheModesAndTellsTheUnit) {
  qd_line* lp = enabled("Lanvara16S-230A", 0);
  const tcflag_t cflag = lp->tty.t_cflag;
  EXPECT_EQ(note(lp, cflag | HUPCL, lp->tty.t_iflag), 0);
  EXPECT_NE(lp->qdl_flags & QDL_HUPCL, 0u);
  EXPECT_EQ(cmds(), (std::vector<Cmd>{modem(0, 0, 0)}));
  run([&] { u_->forget(); });
  EXPECT_EQ(note(lp, cflag | HUPCL, lp->tty.t_iflag), 0);
  EXPECT_TRUE(cmds().empty());
  EXPECT_EQ(note(lp, cflag, lp->tty.t_iflag), 0);
  EXPECT_EQ(lp->qdl_flags & QDL_HUPCL, 0u);
  EXPECT_EQ(cmds(), (std::vector<Cmd>{modem(0, 0x80, 0x80)}));
}

TEST_F(ParamsTest, CheckParamByPortKind) {
  struct Case {
    const char* model;
    unsigned line;
    int index;
    bool refused;
  };
  const Case cases[] = {
      {"Lanvara8S1P-115", 0, 18, false}, // 115200 on a 115k port
      {"Lanvara8S1P-115", 0, 20, true},  // 230400 is beyond it
      {"Lanvara8S1P-115", 0, 23, true},  // past the table
      {"Lanvara8S1P-115", 0, 0, true},   // no speed
      {"Lanvara8S1P-115", 8, 22, false}, // printers take any
      {"Lanvara16S-230A", 5, 20, false}, {"Lanvara16S-230A", 5, 22, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " index " + std::to_string(c.index));
    run([&] {
      qd_line* lp = port(lanvara(c.model), c.line);
      EXPECT_EQ(qdf_checkparam(c.index, lp, 0) != 0, c.refused);
    });
  }
}

} // namespace
