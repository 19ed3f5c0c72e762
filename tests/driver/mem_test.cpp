// The tracked allocator.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "driver_fixture.h"

namespace {

using MemTest = DriverFixture;

int tracked_blocks() {
  int n = 0;
  for (qd_mem_hdr* b = qd_mem_head; b != nullptr; b = b->next) {
    ++n;
  }
  return n;
}

TEST_F(MemTest, BlocksAreZeroedAlignedTrackedAndFreedTogether) {
  run([this] {
    void* empty = qd_malloc(0);
    auto* area = static_cast<unsigned char*>(qd_malloc(100));
    ASSERT_NE(empty, nullptr);
    ASSERT_NE(area, nullptr);
    EXPECT_NE(qd_malloc(0), empty);
    EXPECT_TRUE(std::all_of(area, area + 100, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(area) % alignof(std::max_align_t), 0u);
    EXPECT_EQ(tracked_blocks(), 3);
    EXPECT_EQ(qd_mem_head->next->size, 100 + sizeof(qd_mem_hdr)); // newest first
    EXPECT_EQ(kernel_.kmem_outstanding_count(), 3u);

    qd_freeall();
    EXPECT_EQ(kernel_.kmem_outstanding_count(), 0u);
    EXPECT_EQ(qd_mem_head, nullptr);
    EXPECT_EQ(qd_mem_mutex_made, 0);
    EXPECT_NE(qd_malloc(10), nullptr); // creates its mutex again
    EXPECT_EQ(qd_mem_mutex_made, 1);
  });
}

TEST_F(MemTest, EveryAllocationIsTraced) {
  if constexpr (!qd_trace_on) {
    GTEST_SKIP() << "no trace rings in this build";
  }
  run([] {
    qd_trace_drv("start\n"); // the ring's set-up note is not what is looked at
    auto* area = static_cast<unsigned char*>(qd_malloc(100));
    ASSERT_NE(area, nullptr);
    const auto block = reinterpret_cast<std::uintptr_t>(area - sizeof(qd_mem_hdr));
    // The block's address at full width, whatever the host's pointer size.
    char want[64];
    std::snprintf(want, sizeof want, "qd_malloc(%08x)=%0*jx\n",
                  static_cast<unsigned>(100 + sizeof(qd_mem_hdr)),
                  static_cast<int>(2 * sizeof(void*)), static_cast<std::uintmax_t>(block));
    EXPECT_EQ(ring_text(qd_ring_of(qd_trcbuf)), std::string("start\n") + want);
  });
}

TEST_F(MemTest, FailedAllocationLeavesTheListAlone) {
  run([this] {
    ASSERT_NE(qd_malloc(8), nullptr);
    qd_mem_hdr* head = qd_mem_head;
    kernel_.fail_kmem_nth(1);
    EXPECT_EQ(qd_malloc(64), nullptr);
    EXPECT_EQ(qd_mem_head, head);
    EXPECT_EQ(tracked_blocks(), 1);
    EXPECT_NE(qd_malloc(64), nullptr); // the fault was for one call only
  });
}

} // namespace
