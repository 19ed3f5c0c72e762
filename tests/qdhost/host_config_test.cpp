// qdhost's command line and where its device directory comes from.
#include "qdhost/host_config.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using qdhost::HostConfig;

TEST(HostConfig, DeviceDirectoryFlagWinsOverTheEnvironment) {
  struct Case {
    std::vector<const char*> args;
    const char* env;
    const char* devdir;
  };
  const Case cases[] = {
      {{}, nullptr, "/dev/qmx"},
      {{}, "", "/dev/qmx"},
      {{}, "/tmp/env", "/tmp/env"},
      {{"--devdir", "/tmp/flag"}, "/tmp/env", "/tmp/flag"},
      {{"--devdir=/tmp/eq"}, nullptr, "/tmp/eq"},
  };
  for (const Case& c : cases) {
    std::string error;
    auto cfg = qdhost::parse_command_line(c.args, c.env, &error);
    ASSERT_TRUE(cfg) << error;
    EXPECT_EQ(cfg->devdir, c.devdir);
  }
}

TEST(HostConfig, EveryOption) {
  std::vector<const char*> args = {
      "--conf",  "qd.conf", "--topology=t.top", "--minor-perm",        "mp", "--drain-bound", "4",
      "--speed", "2.5",     "--test-loop",      "--max-connections=10"};
  std::string error;
  auto cfg = qdhost::parse_command_line(args, nullptr, &error);
  ASSERT_TRUE(cfg) << error;
  EXPECT_EQ(cfg->conf, "qd.conf");
  EXPECT_EQ(cfg->topology, "t.top");
  EXPECT_EQ(cfg->minor_perm, "mp");
  EXPECT_EQ(cfg->drain_bound, 4);
  EXPECT_EQ(cfg->speed, 2.5);
  EXPECT_TRUE(cfg->test_loop);
  EXPECT_EQ(cfg->max_connections, 10);

  auto plain = qdhost::parse_command_line({}, nullptr, &error);
  ASSERT_TRUE(plain);
  EXPECT_TRUE(plain->conf.empty());
  EXPECT_EQ(plain->speed, 1.0);
  EXPECT_FALSE(plain->test_loop);
}

TEST(HostConfig, Refusals) {
  const std::vector<std::vector<const char*>> bad = {
      {"--speed", "0"},
      {"--speed", "-1"},
      {"--speed", "fast"},
      {"--speed", "inf"},
      {"--speed", "2x"},
      {"--speed"},
      {"--devdir"},
      {"--devdir="},
      {"--bogus"},
      {"extra"},
      {"--test-loop=1"},
      {"--drain-bound", "-1"},
      {"--drain-bound", "1.5"},
      {"--max-connections", "0"},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(qdhost::parse_command_line(args, nullptr, &error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

} // namespace
