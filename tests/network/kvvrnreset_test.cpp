// kvvrnreset end to end: the program against the emulated module on port 10001 of its own
// loopback address, and against a stand-in unit node for the address.
#include <unistd.h>

#include <gtest/gtest.h>

#include "child_process.h"
#include <cstring>

#include "fas.h"
#include "module_fixture.h"
#include "qdnet/vrn_exchange.h"
#include "qdtest/program_copy.h"
#include "temp_dir.h"
#include "unit_node_stub.h"

namespace nettest {
namespace {

constexpr uid_t kNobody = 65534;

class Kvvrnreset : public ModuleTest {
protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "kvvrnreset requires effective uid 0";
    }
  }
  int run(std::vector<std::string> args, std::vector<std::string> env = {}) {
    return run_child({KVVRNRESET_PATH, std::move(args), std::move(env)}, &out_, &err_);
  }
  std::string out_, err_;
};

TEST(KvvrnresetPrivilege, RefusesAnyoneButRootBeforeLookingAtItsArguments) {
  const qdtest::ProgramCopy copy(KVVRNRESET_PATH, kNobody);
  ChildSpec spec{copy.path(), {}};
  if (::geteuid() == 0) {
    spec.uid = kNobody;
  }
  for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"vrnn0", "127.0.0.1"}}) {
    spec.args = args;
    std::string out, err;
    EXPECT_EQ(run_child(spec, &out, &err), 1);
    EXPECT_EQ(err, "You must be super user to run this utility.\n");
    EXPECT_EQ(out, "");
  }
}

TEST_F(Kvvrnreset, UsageOnAWrongArgumentCount) {
  for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"a", "b", "c"},
                    std::vector<std::string>{"-h"}, std::vector<std::string>{"vrnn0", "-x"}}) {
    EXPECT_EQ(run(args), 1);
    EXPECT_EQ(err_, std::string("Usage: ") + KVVRNRESET_PATH + " vrn_unit_node [ip_addr]\n");
  }
}

TEST_F(Kvvrnreset, ResetsTheModuleAtTheGivenAddressSilently) {
  start_module(qdnet::kVrnPort);
  EXPECT_EQ(run({"vrnn0", module_addr_text()}), 0);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "");
  await([](const auto& s) { return s.resets == 1 && !s.connected; }, "reset");
}

TEST_F(Kvvrnreset, ReportsFailuresAndStillEndsWithZero) {
  struct Case {
    const char* what;
    std::uint8_t opcode;
    qdemu::AnswerFault fault;
    std::vector<std::uint8_t> bytes;
    const char* err;
  } const cases[] = {
      {"refused",
       FAS_UNIT_RESET,
       qdemu::AnswerFault::replace,
       {9, 0, 7, 0, 0, 0, 0, 0},
       "reset response code error. op=9,stat=0x7\n"},
      {"bad inquiry",
       FAS_UNIT_INQUIRY,
       qdemu::AnswerFault::replace,
       {0x2a, 0, 0, 0, 0, 0, 0, 0},
       "inquiry response code error. op=2a\n"},
      {"dropped",
       FAS_UNIT_UNLOCK,
       qdemu::AnswerFault::drop_connection,
       {},
       "sock_read on VRN failed"},
  };
  start_module(qdnet::kVrnPort);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    module_->clear_faults();
    module_->on_answer(c.opcode, c.fault, c.bytes);
    EXPECT_EQ(run({"vrnn0", module_addr_text()}), 0);
    EXPECT_EQ(err_.substr(0, std::strlen(c.err)), c.err);
  }
  const std::string addr = module_addr_text();
  module_->stop();
  EXPECT_EQ(run({"vrnn0", addr}), 0);
  EXPECT_EQ(err_, "connect failed: Connection refused\n");
}

TEST_F(Kvvrnreset, TakesTheAddressFromTheUnitNode) {
  start_module(qdnet::kVrnPort);
  TempDir dir;
  UnitNodeServer node(dir.path());
  ASSERT_TRUE(node.ok());
  node.set_address(module_addr());
  EXPECT_EQ(run({kStubNode}, {"QD_DEVDIR=" + dir.path()}), 0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(node.requests(), 1);
  await([](const auto& s) { return s.resets == 1; }, "reset");
}

TEST_F(Kvvrnreset, EndsWithTheErrnoWhenTheUnitNodeFails) {
  TempDir dir;
  UnitNodeServer node(dir.path());
  ASSERT_TRUE(node.ok());
  node.refuse_with(ENXIO);
  EXPECT_EQ(run({kStubNode}, {"QD_DEVDIR=" + dir.path()}), ENXIO);
  EXPECT_EQ(err_, "VRNGETUPTR ioctl failed: No such device or address\n");
  EXPECT_EQ(run({"vrnn9"}, {"QD_DEVDIR=" + dir.path()}), ENOENT);
  EXPECT_EQ(err_, "open VRN failed: No such file or directory\n");
}

} // namespace
} // namespace nettest
