// The program's memory as an ioctl request exposes it to the driver: which copies succeed,
// and which ranges go back to the program.
#include "remote_memory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "qdev/wire.h"

namespace {

namespace wire = qdev::wire;
using qdhost::RemoteMemory;

// Builds a request payload: the region table, then the bytes of the regions sent.
struct Request {
  std::vector<wire::Region> table;
  std::vector<std::byte> data;
  void add(std::uint64_t addr, std::uint32_t flags, const std::string& bytes) {
    table.push_back({addr, static_cast<std::uint32_t>(bytes.size()), flags});
    if ((flags & wire::kRegionIn) != 0) {
      for (char c : bytes) {
        data.push_back(static_cast<std::byte>(c));
      }
    }
  }
  std::vector<std::byte> payload() const {
    std::vector<std::byte> out(table.size() * sizeof(wire::Region));
    std::memcpy(out.data(), table.data(), out.size());
    out.insert(out.end(), data.begin(), data.end());
    return out;
  }
};

struct Written {
  std::uint64_t addr;
  std::string bytes;
  bool operator==(const Written&) const = default;
};

std::vector<Written> written(const RemoteMemory& m) {
  std::uint32_t count = 0;
  std::vector<std::byte> p = m.writes(&count);
  std::vector<Written> out;
  std::size_t data = count * sizeof(wire::Write);
  for (std::uint32_t i = 0; i < count; ++i) {
    wire::Write w{};
    std::memcpy(&w, p.data() + i * sizeof w, sizeof w);
    out.push_back({w.addr, std::string(reinterpret_cast<const char*>(p.data() + data), w.len)});
    data += w.len;
  }
  EXPECT_EQ(data, p.size());
  return out;
}

constexpr std::uint32_t kIn = wire::kRegionIn;
constexpr std::uint32_t kOut = wire::kRegionOut;
constexpr std::uint32_t kBoth = kIn | kOut;

TEST(RemoteMemory, ParseAcceptsOnlyConsistentRequests) {
  Request ok;
  ok.add(0x1000, kBoth, "abcd");
  ok.add(0xC0000000, kOut, std::string(8, '\0'));
  RemoteMemory m;
  EXPECT_TRUE(m.parse(2, ok.payload()));
  Request empty; // any client may send one
  empty.add(0x2000, kBoth, "");
  EXPECT_TRUE(m.parse(1, empty.payload()));

  auto p = ok.payload();
  struct Case {
    const char* what;
    std::uint32_t count;
    std::vector<std::byte> payload;
  };
  std::vector<std::byte> short_data(p.begin(), p.end() - 1);
  std::vector<std::byte> extra = p;
  extra.push_back(std::byte{0});
  Request wraps;
  wraps.add(~std::uint64_t{0} - 1, kOut, "abcd");
  Request huge;
  huge.table.push_back({0x1000, static_cast<std::uint32_t>(wire::kMaxRegionBytes + 1), kOut});
  const Case bad[] = {
      {"count larger than the table", 3, p},
      {"bytes missing", 2, short_data},
      {"bytes left over", 2, extra},
      {"addresses wrap", 1, wraps.payload()},
      {"more than one ioctl may expose", 1, huge.payload()},
      {"too many regions", wire::kMaxRegions + 1, p},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(m.parse(c.count, c.payload));
  }
}

TEST(RemoteMemory, CopiesStayInsideTheRegionsTheyMayUse) {
  Request r;
  r.add(0x1000, kIn, "readonly");
  r.add(0x2000, kBoth, "both");
  r.add(0x3000, kOut, std::string(8, '\0'));
  RemoteMemory m;
  ASSERT_TRUE(m.parse(3, r.payload()));
  char buf[16] = {};
  EXPECT_EQ(m.copyin(0x1000, buf, 8), 0);
  EXPECT_EQ(std::string(buf, 8), "readonly");
  EXPECT_EQ(m.copyin(0x1004, buf, 4), 0);
  EXPECT_EQ(m.copyin(0x1004, buf, 5), EFAULT) << "runs past the end";
  EXPECT_EQ(m.copyin(0x0fff, buf, 2), EFAULT) << "starts before";
  EXPECT_EQ(m.copyin(0x5000, buf, 1), EFAULT) << "nothing there";
  EXPECT_EQ(m.copyin(0, buf, 0), 0) << "nothing to copy";
  EXPECT_EQ(m.copyout("x", 0x1000, 1), EFAULT) << "the program did not let it be written";
  EXPECT_EQ(m.copyin(0x3000, buf, 1), EFAULT) << "not sent, not written yet";

  EXPECT_EQ(m.copyout("WX", 0x3002, 2), 0);
  EXPECT_EQ(m.copyin(0x3002, buf, 2), 0) << "reads back what the driver wrote";
  EXPECT_EQ(std::string(buf, 2), "WX");
  EXPECT_EQ(m.copyin(0x3001, buf, 2), EFAULT) << "partly never written";
  EXPECT_EQ(m.copyout("B", 0x2000, 1), 0);
  EXPECT_EQ(m.copyin(0x2000, buf, 4), 0);
  EXPECT_EQ(std::string(buf, 4), "Both");
  EXPECT_EQ(written(m), (std::vector<Written>{{0x2000, "B"}, {0x3002, "WX"}}));
}

TEST(RemoteMemory, WrittenRangesMerge) {
  Request r;
  r.add(0x8000, kOut, std::string(32, '\0'));
  RemoteMemory m;
  ASSERT_TRUE(m.parse(1, r.payload()));
  ASSERT_EQ(m.copyout("aaaa", 0x8000, 4), 0);
  ASSERT_EQ(m.copyout("bbbb", 0x8004, 4), 0); // touches the first
  ASSERT_EQ(m.copyout("cc", 0x8010, 2), 0);   // apart
  ASSERT_EQ(m.copyout("dd", 0x8014, 2), 0);   // apart
  EXPECT_EQ(written(m),
            (std::vector<Written>{{0x8000, "aaaabbbb"}, {0x8010, "cc"}, {0x8014, "dd"}}));
  ASSERT_EQ(m.copyout("eeeeeee", 0x800f, 7), 0); // across the last two
  EXPECT_EQ(written(m), (std::vector<Written>{{0x8000, "aaaabbbb"}, {0x800f, "eeeeeee"}}));
}

TEST(RemoteMemory, ScatteredWritesCollapseToOneRangePerRegion) {
  const std::size_t n = wire::kMaxWrites + 1;
  Request r;
  r.add(0x10000, kBoth, std::string(2 * n, '.'));
  RemoteMemory m;
  ASSERT_TRUE(m.parse(1, r.payload()));
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(m.copyout("w", 0x10000 + 2 * i, 1), 0);
  }
  std::string want;
  for (std::size_t i = 0; i < n; ++i) {
    want += i + 1 < n ? "w." : "w";
  }
  EXPECT_EQ(written(m), (std::vector<Written>{{0x10000, want}}));
}

} // namespace
