// Tracked kernel memory and its fault injection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kemu/kernel.h"
#include "ksys/kmem.h"

namespace {

using kemu::Kernel;

bool has_report(const std::vector<kemu::Report>& r, const std::string& text) {
  for (const auto& x : r) {
    if (x.what.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST(Kmem, FreshBlocksHoldThePatternOrZeroesAndAreCounted) {
  Kernel k;
  auto* a = static_cast<unsigned char*>(kmem_alloc(10, KM_SLEEP));
  auto* z = static_cast<unsigned char*>(kmem_zalloc(7, KM_NOSLEEP));
  void* empty = kmem_alloc(0, KM_SLEEP);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(z, nullptr);
  EXPECT_NE(empty, nullptr) << "KM_SLEEP never returns nullptr";
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(a[i], kemu::kKmemGarbage[i % 4]) << i;
  }
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(z[i], 0) << i;
  }
  EXPECT_EQ(k.kmem_outstanding_count(), 3u);
  EXPECT_EQ(k.kmem_outstanding_bytes(), 17u);
  EXPECT_EQ(k.kmem_alloc_calls(), 3u);
  kmem_free(a, 10);
  kmem_free(empty, 0);
  EXPECT_EQ(k.kmem_outstanding_count(), 1u);
  EXPECT_EQ(k.kmem_outstanding_bytes(), 7u);
  kmem_free(z, 7);
  EXPECT_EQ(k.kmem_outstanding_count(), 0u);
  EXPECT_EQ(k.report_count(), 0u);
}

TEST(Kmem, NthNoSleepAllocationFailsOnce) {
  Kernel k;
  k.fail_kmem_nth(3);
  std::vector<bool> got;
  std::vector<void*> blocks;
  for (int flags : {KM_NOSLEEP, KM_SLEEP, KM_NOSLEEP, KM_SLEEP, KM_NOSLEEP, KM_NOSLEEP}) {
    void* p = kmem_alloc(8, flags);
    got.push_back(p != nullptr);
    if (p != nullptr) {
      blocks.push_back(p);
    }
  }
  // KM_SLEEP calls neither count nor fail.
  EXPECT_EQ(got, (std::vector<bool>{true, true, true, true, false, true}));
  EXPECT_EQ(k.kmem_alloc_calls(), 6u) << "the refused call is a call too";
  for (void* p : blocks) {
    kmem_free(p, 8);
  }
  EXPECT_EQ(k.kmem_outstanding_count(), 0u);
}

TEST(Kmem, NoSleepFailsPastTheBudgetUntilCleared) {
  Kernel k;
  k.fail_kmem_after(100);
  void* a = kmem_alloc(60, KM_NOSLEEP);
  void* b = kmem_alloc(50, KM_NOSLEEP);  // 110 > 100
  void* c = kmem_zalloc(40, KM_NOSLEEP); // exactly 100
  void* d = kmem_alloc(5, KM_SLEEP);     // counts, but never fails
  void* e = kmem_alloc(1, KM_NOSLEEP);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(e, nullptr);
  k.clear_kmem_faults();
  void* f = kmem_alloc(1000, KM_NOSLEEP);
  EXPECT_NE(f, nullptr);
  kmem_free(a, 60);
  kmem_free(c, 40);
  kmem_free(d, 5);
  kmem_free(f, 1000);
  EXPECT_EQ(k.kmem_outstanding_count(), 0u);
}

TEST(Kmem, BadFreesAreReported) {
  Kernel k;
  void* a = kmem_alloc(32, KM_SLEEP);
  kmem_free(a, 16);
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].what.find("32-byte block with size 16"), std::string::npos) << r[0].what;
  EXPECT_EQ(k.kmem_outstanding_count(), 0u) << "the block is released all the same";

  kmem_free(a, 32); // twice
  int on_stack = 0;
  kmem_free(&on_stack, sizeof on_stack);
  kmem_free(nullptr, 4);
  r = k.take_reports();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_TRUE(has_report(r, "did not hand out"));
  EXPECT_TRUE(has_report(r, "null pointer"));
}

TEST(Kmem, OutstandingBlocksAreReportedAndReleasedAtShutdown) {
  Kernel k;
  kmem_alloc(100, KM_SLEEP);
  kmem_zalloc(23, KM_NOSLEEP);
  k.shutdown();
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].what.find("2 kmem allocation(s) of 123 bytes still outstanding"),
            std::string::npos)
      << r[0].what;
  EXPECT_EQ(k.kmem_outstanding_count(), 0u);
}

} // namespace
