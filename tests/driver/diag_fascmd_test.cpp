// The raw FAS command: shown on the console, queued on the diagnostic node's unit record
// and logged on its line; refusals for commands that are not one whole valid command.
#include <array>
#include <cerrno>
#include <cstring>

#include "diag_fixture.h"

namespace diag_test {
namespace {

using Cmd = std::array<unsigned char, 8>;

class DiagFasCmd : public DiagFixture {
protected:
  // The commands queued on global_unit, in order.
  static std::vector<Cmd> queued() {
    std::vector<Cmd> out;
    for (const qd_pkt* p = global_unit.pkt_head; p != nullptr; p = p->next) {
      for (const unsigned char* c = p->data; c + 8 <= p->qd_wptr; c += 8) {
        Cmd cmd;
        std::memcpy(cmd.data(), c, 8);
        out.push_back(cmd);
      }
    }
    return out;
  }
};

TEST_F(DiagFasCmd, CommandIsShownQueuedAndLogged) {
  start();
  kemu::StreamFile& d = diag();
  Cmd cmd{FAS_SET_PARAMS, 3, 0, 1, 0, 0x01, 0x77, 0};
  ASSERT_TRUE(istr(d, QMXFASCMD, cmd).ok());
  EXPECT_EQ(console(), "QMXFASCMD: sending FAS cmd:\n\t  "
                       "QMXFASCMD: 0b030001 00017700 (FAS_SET_PARAMS)\n");
  EXPECT_EQ(queued(), std::vector<Cmd>{cmd});
  EXPECT_EQ(std::memcmp(qd_diag->fas_log[0], cmd.data(), 8), 0);

  // Nothing ever sends what the record holds: a later command takes the place of the
  // earlier one, and the pool does not grow with repeated requests.
  const int packets = qd_pkts.qd_pkt_cnt;
  Cmd poll{FAS_UNIT_POLL, 200, 0, 0, 0, 0, 0, 0}; // byte 1 is no line number here
  for (int i = 0; i < 600; ++i) {                 // more than one packet holds
    ASSERT_TRUE(istr(d, QMXFASCMD, poll).ok());
  }
  EXPECT_EQ(queued(), std::vector<Cmd>{poll});
  EXPECT_EQ(qd_pkts.qd_pkt_cnt, packets);
  EXPECT_EQ(std::memcmp(qd_diag->fas_log[1], poll.data(), 8), 0);
  console();
}

TEST_F(DiagFasCmd, RefusedCommands) {
  start();
  kemu::StreamFile& d = diag();
  struct Case {
    const char* what;
    Cmd cmd;
    cred_t cred;
    int error;
  };
  const cred_t root = kemu::Kernel::root_cred();
  const Case cases[] = {
      {"unprivileged", {FAS_ENABLE, 0, 0, 0, 0, 0, 0, 0}, user_cred(), EPERM},
      {"invalid opcode", {42, 0, 0, 0, 0, 0, 0, 0}, root, EINVAL},
      {"PKT_END", {PKT_END, 0, 0, 0, 0, 0, 0, 0}, root, EINVAL},
      {"FAS_SEND claiming data", {FAS_SEND, 0, 16, 0, 0, 0, 0, 0}, root, EINVAL},
      {"line 126", {FAS_ENABLE, 126, 0, 0, 0, 0, 0, 0}, root, EINVAL},
  };
  for (const Case& c : cases) {
    Cmd cmd = c.cmd;
    EXPECT_EQ(istr(d, QMXFASCMD, &cmd, 8, -1, c.cred).error, c.error) << c.what;
  }
  Cmd cmd{FAS_ENABLE, 125, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(istr(d, QMXFASCMD, &cmd, 7).error, EINVAL) << "short record";
  EXPECT_TRUE(queued().empty());
  console();
  EXPECT_TRUE(istr(d, QMXFASCMD, cmd).ok()) << "the last port of the largest unit";
  console();
}

} // namespace
} // namespace diag_test
