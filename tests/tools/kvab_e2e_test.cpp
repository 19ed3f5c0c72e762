// kvab on the printer node of a redundant unit, whose emulated engine takes the switch byte
// and reports ports 1-4 and 5-8 back through the node's modem bits.
#include <gtest/gtest.h>

#include <string>

#include "tool_host.h"

namespace {

using tooltest::node;

constexpr const char* kSwitch = "lpc48";
constexpr const char* kAA = "Ports 1-4:\tSCSI A\nPorts 5-8:\tSCSI A\n";
constexpr const char* kAB = "Ports 1-4:\tSCSI A\nPorts 5-8:\tSCSI B\n";
constexpr const char* kBA = "Ports 1-4:\tSCSI B\nPorts 5-8:\tSCSI A\n";
constexpr const char* kBB = "Ports 1-4:\tSCSI B\nPorts 5-8:\tSCSI B\n";

class KvabRun : public tooltest::ToolHost {
protected:
  std::string stat() {
    qdtest::Output o = run(QD_PROGRAM_KVAB, {node(kSwitch), "stat"});
    EXPECT_EQ(o.status, 0) << o.err;
    return o.out;
  }
};

TEST_F(KvabRun, SwitchesAndShowsTheAssignment) {
  struct Case {
    std::vector<std::string> actions;
    const char* shown; // by a stat at the end of the same command line
    const char* after; // read back from the unit by the next run
  };
  const std::vector<Case> cases = {
      {{"aa", "stat"}, kAA, kAA},         {{"bb"}, "", kBB},
      {{"1a", "stat"}, kAB, kAB},       // port 1's bit speaks for ports 1-4
      {{"1b", "8A", "stat"}, kBA, kBA}, // port 8's for ports 5-8
      {{"alla", "8bxyz"}, "", kAB},       {{"ba=stat"}, kBA, kBA}, // split at '=' into two words
      {{"3b", "stat"}, kBA, kBA},         // port 3 has no say in the modem bits
      {{"allb", "stat", "aa"}, kBB, kAA}, // stat shows the mask as it stands then
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {node(kSwitch)};
    args.insert(args.end(), c.actions.begin(), c.actions.end());
    SCOPED_TRACE(c.actions.front());
    qdtest::Output o = run(QD_PROGRAM_KVAB, args);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, c.shown);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(stat(), c.after);
  }
}

TEST_F(KvabRun, NoActionReadsAndWritesNothing) {
  run(QD_PROGRAM_KVAB, {node(kSwitch), "ab"});
  qdtest::Output o = run(QD_PROGRAM_KVAB, {node(kSwitch)});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out + o.err, "");
  EXPECT_EQ(stat(), kAB);
}

TEST_F(KvabRun, AnUnknownWordStopsBeforeAnythingIsWritten) {
  run(QD_PROGRAM_KVAB, {node(kSwitch), "bb"});
  for (const char* word : {"AA", "9a", "1c", "1"}) {
    qdtest::Output o = run(QD_PROGRAM_KVAB, {node(kSwitch), "aa", word, "stat"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind(std::string("\nOption '") + word + "' not recognized\n\n\nUsage: ", 0),
              0u)
        << o.err;
    EXPECT_EQ(stat(), kBB) << word;
  }
}

TEST_F(KvabRun, DeviceRefusals) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{}, "\nA control device to open must be specified.\n"},
      {{""}, "\nA control device to open must be specified.\n"},
      {{"-h", "aa"}, ""},
      {{node("lpc4x"), "aa"}, "\nFailed to open control device: No such file or directory\n"},
      {{"/dev/null", "aa"}, "\nGETMSTATUS ioctl on port failed: Inappropriate ioctl for device\n"},
      {{std::string(128, 'x')}, "\nControl device name longer than 127 characters.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    qdtest::Output o = run(QD_PROGRAM_KVAB, c.args);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err.rfind(c.err + "\n\nUsage: " + QD_PROGRAM_KVAB + " <device> [<action>]", 0), 0u)
        << o.err;
  }
}

} // namespace
