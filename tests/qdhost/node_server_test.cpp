// The device directory: which nodes become sockets, refusing a directory another server
// serves, replacing what a dead one left, and cleaning up.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "served.h"

#include "kemu/ddi.h"
#include "kemu/kernel.h"
#include "qdhost/loop_codes.h"
#include "qdhost/node_server.h"

namespace {

using hosttest::leave_stale_socket;
using hosttest::Served;
using hosttest::TempDir;
namespace loop = qdhost::loop;

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class NodeServerTest : public Served {
protected:
  std::unique_ptr<qdhost::NodeServer> another(const std::string& dir) {
    return std::make_unique<qdhost::NodeServer>(*kernel_, *ddi_, qdhost::NodeServerOptions{dir});
  }
};

TEST_F(NodeServerTest, EveryCharacterNodeBecomesASocket) {
  const std::vector<std::string> want = {loop::kEchoNode, loop::kDialoutNode, loop::kBlockNode,
                                         loop::kCtlNode};
  EXPECT_EQ(served(), want) << "in the registry's order, block nodes left out";
  EXPECT_EQ(sorted(dir_.entries()), sorted(want));
  for (const std::string& name : want) {
    struct ::stat st {};
    ASSERT_EQ(::lstat(node(name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode)) << name;
    EXPECT_EQ(st.st_mode & 0777, 0666u) << name;
  }
  stop_server();
  EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(NodeServerTest, RefusesADirectoryALiveServerServes) {
  auto second = another(dir_.path());
  EXPECT_EQ(second->start(), EADDRINUSE);
  EXPECT_NE(second->error().find("live"), std::string::npos) << second->error();
  second.reset();
  EXPECT_EQ(dir_.entries().size(), served().size()) << "the first server's sockets stay";
  EXPECT_TRUE(await([&] { return connections() == 0; }, "the probes to end"));
}

TEST_F(NodeServerTest, ReplacesWhatADeadServerLeft) {
  TempDir other;
  leave_stale_socket(other / loop::kEchoNode);
  leave_stale_socket(other / "gone0");
  { std::ofstream(other / "notes") << "kept"; }
  auto s = another(other.path());
  ASSERT_EQ(s->start(), 0) << s->error();
  auto names = sorted(other.entries());
  EXPECT_EQ(std::count(names.begin(), names.end(), "gone0"), 0) << "stale socket removed";
  EXPECT_EQ(std::count(names.begin(), names.end(), "notes"), 1) << "other files kept";
  EXPECT_EQ(std::count(names.begin(), names.end(), loop::kEchoNode), 1);
  s->stop();
  EXPECT_EQ(other.entries(), std::vector<std::string>{"notes"});
}

TEST_F(NodeServerTest, RefusesANodeNameTakenByAFile) {
  TempDir other;
  { std::ofstream(other / loop::kCtlNode) << "not a socket"; }
  auto s = another(other.path());
  EXPECT_EQ(s->start(), EEXIST);
  EXPECT_EQ(other.entries(), std::vector<std::string>{loop::kCtlNode}) << "nothing left behind";
}

TEST_F(NodeServerTest, CreatesAMissingDirectory) {
  TempDir other;
  const std::string dir = other / "a/b/qmx";
  auto s = another(dir + "/");
  ASSERT_EQ(s->start(), 0) << s->error();
  struct ::stat st {};
  ASSERT_EQ(::stat((dir + "/" + loop::kEchoNode).c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  s->stop();
}

TEST_F(NodeServerTest, RefusesADirectoryOthersCouldWriteTo) {
  struct Case {
    const char* what;
    mode_t mode;
    uid_t owner; // 0: the test's own user
    bool parent; // of the device directory's parent, not of the directory itself
    const char* why;
  };
  const Case cases[] = {
      {"others may write", 0777, 0, false, "group or others may write"},
      {"the group may write", 0770, 0, false, "group or others may write"},
      {"another user owns it", 0755, 65534, false, "belongs to uid 65534"},
      {"the group may write to its parent", 0775, 0, true, "group or others may write"},
      {"another user owns its parent", 0755, 65534, true, "belongs to uid 65534"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.owner != 0 && ::geteuid() != 0) {
      continue; // only root can give a directory away
    }
    TempDir other;
    const std::string dir = c.parent ? other / "dev" : other.path();
    ASSERT_TRUE(!c.parent || ::mkdir(dir.c_str(), 0755) == 0);
    ASSERT_EQ(::chmod(other.path().c_str(), c.mode), 0);
    if (c.owner != 0) {
      ASSERT_EQ(::chown(other.path().c_str(), c.owner, c.owner), 0);
    }
    leave_stale_socket(dir + "/" + loop::kEchoNode);
    auto s = another(dir);
    EXPECT_EQ(s->start(), EPERM);
    EXPECT_EQ(s->error().rfind(other.path() + ": " + c.why, 0), 0u) << "names it: " << s->error();
    struct ::stat st {};
    EXPECT_EQ(::lstat((dir + "/" + loop::kEchoNode).c_str(), &st), 0) << "nothing touched";
    EXPECT_NE(::lstat((dir + "/" + loop::kCtlNode).c_str(), &st), 0) << "nothing served";
  }
}

// A link on the way is followed when it is trusted, and refused when another user owns it.
TEST_F(NodeServerTest, FollowsOnlyATrustedLinkOnTheWay) {
  TempDir other;
  ASSERT_EQ(::mkdir((other / "real").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("real", (other / "ours").c_str()), 0);
  auto s = another(other / "ours");
  ASSERT_EQ(s->start(), 0) << s->error();
  struct ::stat st {};
  EXPECT_EQ(::lstat((other / "real/" + loop::kEchoNode).c_str(), &st), 0) << "served in the target";
  s->stop();
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can give a link away";
  }
  ASSERT_EQ(::symlink("real", (other / "theirs").c_str()), 0);
  ASSERT_EQ(::lchown((other / "theirs").c_str(), 65534, 65534), 0);
  auto t = another(other / "theirs");
  EXPECT_EQ(t->start(), EPERM);
  EXPECT_EQ(t->error().rfind(other / "theirs: belongs to uid 65534", 0), 0u) << t->error();
}

TEST(NodeServerClock, NeedsTheRealClock) {
  kemu::Kernel k; // virtual
  kemu::Ddi ddi;
  TempDir dir;
  qdhost::NodeServer s(k, ddi, {dir.path()});
  EXPECT_EQ(s.start(), EINVAL);
  EXPECT_TRUE(dir.entries().empty());
}

} // namespace
