// The tracked allocator.
#include "qd_mem.h"

#include <cstring>
#include <limits>

#include "ksys/kmem.h"
#include "qd_trace.h"

void* qd_malloc(std::size_t len) {
  if (qd_mem_mutex_made == 0) {
    mutex_init(&qd_mem_mutex, "qd_mem_mutex", MUTEX_DRIVER, nullptr);
    qd_mem_mutex_made = 1;
  }
  // The header records the total in 32 bits.
  if (len > std::numeric_limits<std::uint32_t>::max() - sizeof(qd_mem_hdr)) {
    return nullptr;
  }
  const std::size_t total = len + sizeof(qd_mem_hdr);

  mutex_enter(&qd_mem_mutex);
  auto* blk = static_cast<qd_mem_hdr*>(kmem_alloc(total, KM_NOSLEEP));
  qd_trace_drv("qd_malloc(%)=&\n", static_cast<std::uint32_t>(total), blk);
  void* area = nullptr;
  if (blk != nullptr) {
    std::memset(static_cast<void*>(blk), 0, total);
    blk->size = static_cast<std::uint32_t>(total);
    blk->next = qd_mem_head;
    qd_mem_head = blk;
    area = blk + 1;
  }
  mutex_exit(&qd_mem_mutex);
  return area;
}

void qd_freeall() {
  while (qd_mem_head != nullptr) {
    qd_mem_hdr* blk = qd_mem_head;
    qd_mem_head = blk->next;
    kmem_free(blk, blk->size);
  }
  if (qd_mem_mutex_made != 0) {
    mutex_destroy(&qd_mem_mutex);
    // A later qd_malloc in the same load would otherwise use a destroyed mutex.
    qd_mem_mutex_made = 0;
  }
}
