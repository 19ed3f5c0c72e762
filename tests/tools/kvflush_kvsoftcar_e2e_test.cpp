// kvflush and kvsoftcar on ports of the driver under qdhost, with their privilege checks.
// What needs root (kvflush's flush, setting soft carrier, other user ids) skips for others.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "tool_host.h"

namespace {

using tooltest::HeldPort;
using tooltest::kNobody;
using tooltest::node;

class KvflushRun : public tooltest::ToolHost {};

TEST_F(KvflushRun, ReportsEachPortAndGoesOn) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "kvflush works only for root";
  }
  HeldPort held("ttyc20");
  { HeldPort once("ttyc21"); } // opened and closed again: no longer enabled
  qdtest::Output o =
      run(QD_PROGRAM_KVFLUSH, {node("ttyc20"), node("nosuch"), node("ttyc21"), node("ttyc2f"),
                               node("ttyc20,cu"), "/dev/null", "/tmp"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Port '/dev/qmx/ttyc20' flushed.\n" + std::string(QD_PROGRAM_KVFLUSH) +
                       ": couldn't stat '/dev/qmx/nosuch'\n" +
                       "Line is not currently enabled.\n"
                       "Line has never been accessed.\n"
                       // The dial-out node names the same line.
                       "Port '/dev/qmx/ttyc20,cu' flushed.\n"
                       // Another device's minor number names no unit of the driver.
                       "Unit was not found.\n" +
                       QD_PROGRAM_KVFLUSH + ": '/tmp' not a character device\n");
  EXPECT_EQ(o.err, "No such file or directory\n");
}

TEST_F(KvflushRun, UsageAndPrivilege) {
  // It takes no options: one is not taken for a port's name.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"-h"}, {node("ttyc20"), "--help"}}) {
    qdtest::Output o = run(QD_PROGRAM_KVFLUSH, args);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "Usage: kvflush [devname(s)]\n");
  }

  qdtest::Output o = run_unprivileged(QD_PROGRAM_KVFLUSH, {node("ttyc20")});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "You must be root to use this utility.\n");
}

TEST_F(KvflushRun, TheEffectiveUserIdCounts) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "changing user ids needs root";
  }
  qdtest::Output o;
  if (tooltest::kRunsUnderMixedIds) {
    o = run_as(0, kNobody, QD_PROGRAM_KVFLUSH, {node("ttyc20")});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "You must be root to use this utility.\n");
  }

  // A real id of another user is no obstacle.
  HeldPort held("ttyc20");
  o = run_as(kNobody, 0, QD_PROGRAM_KVFLUSH, {node("ttyc20")});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "Port '/dev/qmx/ttyc20' flushed.\n");
}

class KvsoftcarRun : public tooltest::ToolHost {};

TEST_F(KvsoftcarRun, SetsClearsAndGets) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "setting soft carrier needs root";
  }
  const std::string a = node("ttyc24"), b = node("ttyc25");
  qdtest::Output o = run(QD_PROGRAM_KVSOFTCAR, {"-y", a});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out + o.err, "");

  o = run_as(kNobody, kNobody, QD_PROGRAM_KVSOFTCAR, {"-g", a, b});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, a + ": soft carrier is ON\n" + b + ": soft carrier is OFF\n");

  o = run(QD_PROGRAM_KVSOFTCAR, {"-g", "-n", a, b});
  EXPECT_EQ(o.status, 0) << o.err;
  o = run(QD_PROGRAM_KVSOFTCAR, {"-n", "-g", a, b});
  EXPECT_EQ(o.out, a + ": soft carrier is OFF\n" + b + ": soft carrier is OFF\n");
}

TEST_F(KvsoftcarRun, Refusals) {
  const std::string usage = "\nUsage: kvsoftcar -yng [terms...]\n";
  const std::string a = node("ttyc24");

  qdtest::Output o = run_unprivileged(QD_PROGRAM_KVSOFTCAR, {"-y", a});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err.rfind("You must be superuser to alter soft carrier.\n" + usage, 0), 0u) << o.err;
  o = run(QD_PROGRAM_KVSOFTCAR, {"-g", a});
  EXPECT_EQ(o.out, a + ": soft carrier is OFF\n") << "the refused set changed nothing";

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-g"}, {a, node("ttyc25")}, {"-x", a}, {a, "-g"}, {"-g", a, "-h"}}) {
    o = run(QD_PROGRAM_KVSOFTCAR, args);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(usage), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }

  o = run(QD_PROGRAM_KVSOFTCAR, {"-g", "-g"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out + o.err, "");

  o = run(QD_PROGRAM_KVSOFTCAR, {"-g", "/dev/null"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Couldn't get soft carrier state for '/dev/null'\n");
}

TEST_F(KvsoftcarRun, TheFirstPathThatFailsEndsTheRun) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "setting soft carrier needs root";
  }
  const std::string a = node("ttyc24");
  // Those before it are done.
  qdtest::Output o = run(QD_PROGRAM_KVSOFTCAR, {"-y", a, node("nosuch"), node("ttyc25")});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Can't open '/dev/qmx/nosuch'\n");
  o = run(QD_PROGRAM_KVSOFTCAR, {"-g", a, node("ttyc25")});
  EXPECT_EQ(o.out, a + ": soft carrier is ON\n" + node("ttyc25") + ": soft carrier is OFF\n");
}

} // namespace
