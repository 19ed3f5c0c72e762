// Buffers named by 32-bit addresses.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "qdev/qdev.h"
#include "qdev/wire.h"

namespace {

TEST(BufferHandle, AddressesAreApartAndReused) {
  std::vector<char> a(100), b(0x10000), c(10);
  const std::uint32_t ha = qdev::register_buffer(a.data(), a.size());
  const std::uint32_t hb = qdev::register_buffer(b.data(), b.size());
  ASSERT_NE(ha, 0u);
  ASSERT_NE(hb, 0u);
  EXPECT_GE(ha, 0xC0000000u) << "outside what a 64-bit process maps";
  // Each buffer is followed by unused addresses, so a copy that runs past its end fails.
  EXPECT_GT(hb, ha + a.size());
  EXPECT_GE(hb - ha, 0x10000u);
  ASSERT_EQ(qdev::unregister_buffer(ha), 0);
  const std::uint32_t hc = qdev::register_buffer(c.data(), c.size());
  EXPECT_EQ(hc, ha) << "a freed address is used again";
  EXPECT_EQ(qdev::unregister_buffer(ha), 0);
  EXPECT_EQ(qdev::unregister_buffer(ha), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(qdev::unregister_buffer(hb), 0);
}

TEST(BufferHandle, Refusals) {
  std::vector<char> big(qdev::wire::kMaxRegionBytes + 1);
  char one = 0;
  struct Case {
    void* buf;
    std::size_t len;
  };
  const Case cases[] = {{nullptr, 10}, {&one, 0}, {big.data(), big.size()}};
  for (const Case& c : cases) {
    errno = 0;
    EXPECT_EQ(qdev::register_buffer(c.buf, c.len), 0u);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_NE(qdev::register_buffer(big.data(), big.size() - 1), 0u) << "the largest one fits";
  // The address space runs out rather than wrapping.
  std::vector<std::uint32_t> got;
  for (;;) {
    std::uint32_t h = qdev::register_buffer(big.data(), big.size() - 1);
    if (h == 0) {
      EXPECT_EQ(errno, ENOMEM);
      break;
    }
    got.push_back(h);
    ASSERT_LT(got.size(), 10000u);
  }
  EXPECT_GT(got.size(), 1000u);
  for (std::uint32_t h : got) {
    qdev::unregister_buffer(h);
  }
}

} // namespace
