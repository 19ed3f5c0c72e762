// The program itself as a child process, where no driver is needed: its command line, the
// fork, the log file's name, mode and writing, and the start-up failures.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>

#include "child.h"
#include "kvetherd/startup.h"
#include "temp_dir.h"

namespace kvtest {
namespace {

class Program : public ::testing::Test {
protected:
  // The daemon in the foreground, logging into `logs`, with an empty device directory.
  std::vector<std::string> env(bool foreground = true) const {
    std::vector<std::string> e{"KVETHERD_LOGDIR=" + logs.path(), "QD_DEVDIR=" + devs.path()};
    if (foreground) {
      e.push_back("KVETHERD_FOREGROUND=1");
    }
    return e;
  }

  nettest::TempDir logs;
  nettest::TempDir devs;
};

TEST_F(Program, UsageWithoutOrWithTooManyArgumentsOrAnOption) {
  for (const auto& args :
       {std::vector<std::string>{}, std::vector<std::string>{"vrnn0", "127.0.0.2", "extra"},
        std::vector<std::string>{"-h"}, std::vector<std::string>{"vrnn0", "--help"}}) {
    const Spawned s = spawn(KVETHERD_PATH, args, env(false));
    EXPECT_EQ(wait_exit(s.pid), 1);
    EXPECT_EQ(read_to_end(s.err), "Usage: kvetherd unit_node [ip_address]\n");
  }
  EXPECT_TRUE(file_names(logs.path()).empty()) << "no log before the arguments are good";
}

TEST_F(Program, ForksAndTheDaemonLogsUnderItsOwnProcessId) {
  // The daemon is reparented to this process when the parent ends, so it can be waited for.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const Spawned s = spawn(KVETHERD_PATH, {"vrnn0"}, env(false));
  EXPECT_EQ(wait_exit(s.pid), 0) << "the parent of the fork ends with 0";
  // The daemon lets go of the inherited standard error only once its log is open.
  EXPECT_EQ(read_to_end(s.err), "");

  const auto names = file_names(logs.path());
  ASSERT_EQ(names.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(names[0], m, std::regex(R"(vrnn0\.(\d+)\.log)"))) << names[0];
  const pid_t daemon = static_cast<pid_t>(std::stol(m[1]));
  EXPECT_NE(daemon, s.pid);
  EXPECT_EQ(wait_exit(daemon), 1) << "every shutdown of the daemon ends with 1";

  EXPECT_EQ(log_lines(read_file(logs / names[0])),
            (std::vector<std::string>{"Orvane Lanvara Daemon running",
                                      "/dev/qmx/vrnn0: No such file or directory (errno=2)",
                                      "Orvane Lanvara Daemon shutting down"}));
  struct stat st {};
  ASSERT_EQ(::stat((logs / names[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(Program, PathArgumentIsOpenedAsGivenAndNamesTheLogByItsLastPart) {
  // A plain file stands in for the node: it opens, and the first pop is refused.
  const std::string node = devs / "unit7";
  {
    std::FILE* f = std::fopen(node.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  const Spawned s = spawn(KVETHERD_PATH, {node, "127.0.0.9"}, env());
  EXPECT_EQ(wait_exit(s.pid), 1);
  EXPECT_EQ(read_to_end(s.err), "");
  const std::string log = logs / "unit7." + std::to_string(s.pid) + ".log";
  EXPECT_EQ(log_lines(read_file(log)),
            (std::vector<std::string>{
                "Orvane Lanvara Daemon running",
                "ioctl(I_POP) #1: Inappropriate ioctl for device (errno=25)",
                "There is likely something wrong with your /etc/iu.ap file.: Inappropriate "
                "ioctl for device (errno=25)",
                "Orvane Lanvara Daemon shutting down"}));
}

TEST_F(Program, AnExistingLogIsWrittenOverFromItsStartAndNotShortened) {
  const std::string old(4000, 'x');
  const std::string dir = logs.path();
  // The log's name carries the daemon's process id, known only in the child.
  const Spawned s = spawn(KVETHERD_PATH, {"vrnn0"}, env(), [&dir, &old] {
    char path[512];
    std::snprintf(path, sizeof path, "%s/vrnn0.%d.log", dir.c_str(), static_cast<int>(::getpid()));
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::write(fd, old.data(), old.size()) != static_cast<ssize_t>(old.size())) {
      ::_exit(126);
    }
    ::close(fd);
  });
  EXPECT_EQ(wait_exit(s.pid), 1);
  read_to_end(s.err);
  const std::string text = read_file(logs / "vrnn0." + std::to_string(s.pid) + ".log");
  ASSERT_EQ(text.size(), old.size());
  const std::size_t end = text.find("Orvane Lanvara Daemon shutting down\n");
  ASSERT_NE(end, std::string::npos) << text.substr(0, 200);
  const std::size_t written = end + std::strlen("Orvane Lanvara Daemon shutting down\n");
  EXPECT_EQ(log_lines(text.substr(0, written)).front(), "Orvane Lanvara Daemon running");
  EXPECT_EQ(text.substr(written), old.substr(written)) << "the old tail stays";
}

TEST_F(Program, LogThatCannotBeOpenedEndsTheDaemonBeforeAnything) {
  const std::string missing = logs / "no-such-dir";
  const Spawned s =
      spawn(KVETHERD_PATH, {"vrnn0"},
            {"KVETHERD_LOGDIR=" + missing, "QD_DEVDIR=" + devs.path(), "KVETHERD_FOREGROUND=1"});
  EXPECT_EQ(wait_exit(s.pid), 1);
  EXPECT_EQ(read_to_end(s.err),
            missing + "/vrnn0." + std::to_string(s.pid) + ".log: No such file or directory\n");
}

TEST(StartupPaths, NodePathBaseNameAndLogName) {
  const struct {
    const char* arg;
    const char* node;
    const char* base;
  } cases[] = {
      {"vrnn0", "/dev/qmx/vrnn0", "vrnn0"},
      {"/dev/qmx/vrnn0", "/dev/qmx/vrnn0", "vrnn0"},
      {"nodes/vrnn1f", "nodes/vrnn1f", "vrnn1f"},
      {"/dev/qmx/", "/dev/qmx/", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kvetherd::node_path(c.arg), c.node) << c.arg;
    EXPECT_EQ(kvetherd::base_name(c.arg), c.base) << c.arg;
  }
  EXPECT_EQ(kvetherd::log_path(kvetherd::kLogDir, "vrnn0", 4242), "/var/tmp/vrnn0.4242.log");
}

} // namespace
} // namespace kvtest
