// kvsoftcar's options and kvflush's words for the driver's refusals.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "kvflush/flush_messages.h"
#include "kvsoftcar/options.h"

namespace {

using kvsoftcar::Mode;

std::optional<kvsoftcar::Options> parse(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& w : words) {
    argv.push_back(w.data());
  }
  argv.push_back(nullptr);
  return kvsoftcar::parse_options(static_cast<int>(words.size()), argv.data());
}

TEST(KvsoftcarOptions, TheLastModeDecides) {
  struct Case {
    std::vector<std::string> words;
    std::optional<Mode> mode;
    int first_path;
  };
  const std::vector<Case> cases = {
      {{"kvsoftcar", "-g", "a", "b"}, Mode::kGet, 2},
      {{"kvsoftcar", "-y", "-g", "a"}, Mode::kGet, 3},
      {{"kvsoftcar", "-g", "-n", "a"}, Mode::kClear, 3},
      {{"kvsoftcar", "-ny", "a"}, Mode::kSet, 2},
      {{"kvsoftcar", "-g", "-g"}, Mode::kGet, 3},
      {{"kvsoftcar", "a", "-g"}, std::nullopt, 1},
  };
  for (const Case& c : cases) {
    auto o = parse(c.words);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->mode, c.mode);
    EXPECT_EQ(o->first_path, c.first_path);
  }
  EXPECT_FALSE(parse({"kvsoftcar", "-g", "-q", "a"}));
}

TEST(KvflushMessages, OnePerRefusal) {
  struct Case {
    int err;
    const char* text;
  };
  const Case cases[] = {
      {EPERM, "Permission denied.\n"},
      {ENOENT, "Line has never been accessed.\n"},
      {EIO, "Queues not active, only firmware was flushed.\n"},
      {ENXIO, "SIGHUP cleared streams queues.\n"},
      {ENODEV, "Unit was not found.\n"},
      {EINVAL, "Port number is out of range.\n"},
      {ENOTTY, "Line is not currently enabled.\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kvflush::refusal_message(c.err), c.text);
  }
  EXPECT_EQ(kvflush::refusal_message(EBUSY), "Unrecognized return value " + std::to_string(EBUSY) +
                                                 " - " + std::strerror(EBUSY) + "\n");
}

} // namespace
