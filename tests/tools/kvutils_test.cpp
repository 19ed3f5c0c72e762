// The programs' common helpers on ordinary files (nodes are covered with qdhost).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvutils.h"

namespace {

TEST(KvUtils, NodePath) {
  EXPECT_EQ(kv::node_path("ttyc10"), "/dev/qmx/ttyc10");
  EXPECT_EQ(kv::node_path("ttyc10,cu"), "/dev/qmx/ttyc10,cu");
  EXPECT_EQ(kv::node_path("/tmp/x"), "/tmp/x");
  EXPECT_EQ(kv::node_path("sub/x"), "/dev/qmx/sub/x");
  const std::string long_name(300, 'n');
  const std::string p = kv::node_path(long_name);
  EXPECT_EQ(p.size(), kv::kMaxPath);
  EXPECT_EQ(p, "/dev/qmx/" + long_name.substr(0, kv::kMaxPath - 9));
  EXPECT_EQ(kv::node_path("/" + long_name).size(), kv::kMaxPath);
}

TEST(KvUtils, SplitWords) {
  std::vector<const char*> args = {"a=b", "c", "=d", "e=", "f=g=h", ""};
  EXPECT_EQ(kv::split_words(args),
            (std::vector<std::string>{"a", "b", "c", "", "d", "e", "", "f", "g=h", ""}));
  EXPECT_TRUE(kv::split_words({}).empty());
}

TEST(KvUtils, MinorIsTheLow18Bits) {
  EXPECT_EQ(kv::minor_of(0x12345678u), 0x05678u);
  EXPECT_EQ(kv::minor_of((7ull << 18) | 0x2010f), 0x2010fu);
}

class TempFile : public ::testing::Test {
protected:
  void SetUp() override {
    path_ = "/tmp/kvutils_test_XXXXXX";
    int fd = ::mkstemp(path_.data());
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  void TearDown() override { ::unlink(path_.c_str()); }
  std::string path_;
};

TEST_F(TempFile, CharDeviceCheck) {
  std::uint32_t minor = 0xdead;
  EXPECT_EQ(kv::check_char_device(path_.c_str(), &minor), kv::NodeCheck::kNotCharDevice);
  EXPECT_EQ(minor, 0xdeadu);
  EXPECT_EQ(kv::check_char_device("/dev/null", &minor), kv::NodeCheck::kCharDevice);
  errno = 0;
  EXPECT_EQ(kv::check_char_device((path_ + ".missing").c_str(), &minor),
            kv::NodeCheck::kStatFailed);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(TempFile, OpenUnderAlarmLeavesABlockingDescriptor) {
  int fd = kv::open_under_alarm(path_.c_str(), 5, {});
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(::alarm(0), 0u) << "the alarm is cancelled";
  ::close(fd);
  errno = 0;
  EXPECT_EQ(kv::open_under_alarm((path_ + "/x").c_str(), 5, {}), -1);
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(KvUtils, ReportErrno) {
  char* text = nullptr;
  std::size_t len = 0;
  std::FILE* out = ::open_memstream(&text, &len);
  ASSERT_NE(out, nullptr);
  kv::report_errno(out, "/dev/qmx/x", ENOENT);
  kv::report_errno(out, nullptr, EPERM);
  kv::report_errno(out, "", EIO);
  std::fclose(out);
  EXPECT_EQ(std::string(text, len), "/dev/qmx/x: " + std::string(std::strerror(ENOENT)) + "\n" +
                                        std::strerror(EPERM) + "\n" + std::strerror(EIO) + "\n");
  std::free(text);
}

} // namespace
