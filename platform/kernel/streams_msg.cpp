// STREAMS messages: allocation, freeing, copies, buffer callbacks, and their fault injection.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "kemu/kernel.h"
#include "kemu/streams.h"
#include "streams_internal.h"

namespace kemu {
namespace {

std::atomic<std::size_t> g_blocks{0};
std::atomic<std::size_t> g_buffers{0};
std::atomic<std::size_t> g_allocb_calls{0};

// Data buffers follow their dblk_t in one allocation, which starts with a word naming its
// size class.
constexpr std::size_t kAlign = alignof(std::max_align_t);
constexpr std::size_t kDataOffset = (sizeof(dblk_t) + kAlign - 1) / kAlign * kAlign;
constexpr std::size_t kHead = kAlign;

// Blocks come from free lists by size class (message blocks have one of their own), so a
// steady flow of messages stops calling the heap. Sanitizer builds go to the heap every
// time, so that a use after free is still caught.
constexpr std::size_t kClassBytes[] = {64, 256, 1024, 4096, 16384};
constexpr std::size_t kClasses = std::size(kClassBytes);
constexpr std::size_t kUnpooled = kClasses;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooling = false;
#else
constexpr bool kPooling = true;
#endif

struct FreeBlock {
  FreeBlock* next;
};
struct Pools {
  std::mutex mu;
  FreeBlock* blocks[kClasses] = {};
  FreeBlock* mblks = nullptr;
};
Pools& pools() {
  static Pools* p = new Pools; // blocks may be freed by static destructors after main
  return *p;
}

void* pool_take(FreeBlock*& list, std::size_t bytes) {
  if (kPooling) {
    std::lock_guard lk(pools().mu);
    if (FreeBlock* b = list) {
      list = b->next;
      return b;
    }
  }
  void* p = std::malloc(std::max(bytes, sizeof(FreeBlock)));
  if (p == nullptr) {
    std::abort();
  }
  return p;
}

void pool_give(FreeBlock*& list, void* p) {
  if (!kPooling) {
    std::free(p);
    return;
  }
  std::lock_guard lk(pools().mu);
  auto* b = static_cast<FreeBlock*>(p);
  b->next = list;
  list = b;
}

std::size_t size_class(std::size_t size) {
  for (std::size_t c = 0; c < kClasses; ++c) {
    if (size <= kClassBytes[c]) {
      return c;
    }
  }
  return kUnpooled;
}

unsigned char* raw_of(dblk_t* db) {
  return reinterpret_cast<unsigned char*>(db) - kHead;
}

void free_data(dblk_t* db) {
  unsigned char* raw = raw_of(db);
  const std::size_t c = raw[0];
  if (c == kUnpooled) {
    std::free(raw);
  } else {
    pool_give(pools().blocks[c], raw);
  }
}

struct Faults {
  std::mutex mu;
  long nth = 0; // counts down; the call that brings it to 0 fails
  bool all = false;
  bool bufcall = false;
  long failures = 0;
};
Faults& faults() {
  static Faults f;
  return f;
}

bool allocb_should_fail() {
  auto& f = faults();
  std::lock_guard lk(f.mu);
  bool fail = f.all;
  if (f.nth > 0 && --f.nth == 0) {
    fail = true;
  }
  if (fail) {
    ++f.failures;
  }
  return fail;
}

mblk_t* new_mblk(dblk_t* db) {
  auto* mp = static_cast<mblk_t*>(pool_take(pools().mblks, sizeof(mblk_t)));
  *mp = mblk_t{};
  mp->b_datap = db;
  mp->b_rptr = db->db_base;
  mp->b_wptr = db->db_base;
  ++g_blocks;
  return mp;
}

struct BufcallEntry {
  void (*func)(void*);
  void* arg;
  bool cancelled;
};

struct Bufcalls {
  std::mutex mu;
  bufcall_id_t next = 0;
  std::map<bufcall_id_t, std::weak_ptr<BufcallEntry>> pending;
};
Bufcalls& bufcalls() {
  static Bufcalls b;
  return b;
}

} // namespace

mblk_t* alloc_block(std::size_t size, bool injectable) {
  if (injectable && allocb_should_fail()) {
    return nullptr;
  }
  const std::size_t c = size_class(std::max<std::size_t>(size, 1));
  unsigned char* raw = nullptr;
  if (c == kUnpooled) {
    raw = static_cast<unsigned char*>(std::malloc(kHead + kDataOffset + size));
    if (raw == nullptr) {
      std::abort();
    }
  } else {
    raw = static_cast<unsigned char*>(
        pool_take(pools().blocks[c], kHead + kDataOffset + kClassBytes[c]));
  }
  raw[0] = static_cast<unsigned char>(c);
  auto* db = reinterpret_cast<dblk_t*>(raw + kHead);
  *db = dblk_t{};
  db->db_base = raw + kHead + kDataOffset;
  db->db_lim = db->db_base + size;
  db->db_ref = 1;
  db->db_type = M_DATA;
  ++g_buffers;
  return new_mblk(db);
}

std::size_t msg_bytes(const mblk_t* mp) {
  std::size_t n = 0;
  for (; mp != nullptr; mp = mp->b_cont) {
    n += static_cast<std::size_t>(mp->b_wptr - mp->b_rptr);
  }
  return n;
}

std::size_t streams_outstanding_blocks() {
  return g_blocks;
}
std::size_t streams_outstanding_buffers() {
  return g_buffers;
}
std::size_t streams_allocb_calls() {
  return g_allocb_calls;
}
std::size_t streams_pending_bufcalls() {
  auto& b = bufcalls();
  std::lock_guard lk(b.mu);
  std::erase_if(b.pending, [](const auto& kv) { return kv.second.expired(); });
  return b.pending.size();
}

void fail_allocb_nth(long n) {
  auto& f = faults();
  std::lock_guard lk(f.mu);
  f.nth = n;
}
void fail_allocb_all(bool on) {
  auto& f = faults();
  std::lock_guard lk(f.mu);
  f.all = on;
}
void fail_bufcall(bool on) {
  auto& f = faults();
  std::lock_guard lk(f.mu);
  f.bufcall = on;
}
void clear_streams_faults() {
  auto& f = faults();
  std::lock_guard lk(f.mu);
  f.nth = 0;
  f.all = false;
  f.bufcall = false;
  f.failures = 0;
}
long allocb_failures() {
  auto& f = faults();
  std::lock_guard lk(f.mu);
  return f.failures;
}

} // namespace kemu

using kemu::alloc_block;

mblk_t* allocb(size_t size, unsigned /*pri*/) {
  ++kemu::g_allocb_calls;
  return alloc_block(size, true);
}

void freeb(mblk_t* bp) {
  if (bp == nullptr) {
    return;
  }
  dblk_t* db = bp->b_datap;
  if (--db->db_ref == 0) {
    kemu::free_data(db);
    --kemu::g_buffers;
  }
  kemu::pool_give(kemu::pools().mblks, bp);
  --kemu::g_blocks;
}

void freemsg(mblk_t* mp) {
  while (mp != nullptr) {
    mblk_t* next = mp->b_cont;
    freeb(mp);
    mp = next;
  }
}

size_t msgdsize(const mblk_t* mp) {
  size_t n = 0;
  for (; mp != nullptr; mp = mp->b_cont) {
    if (mp->b_datap->db_type == M_DATA) {
      n += static_cast<size_t>(mp->b_wptr - mp->b_rptr);
    }
  }
  return n;
}

mblk_t* dupb(mblk_t* bp) {
  if (bp->b_datap->db_ref == 255) {
    return nullptr;
  }
  ++bp->b_datap->db_ref;
  mblk_t* nb = kemu::new_mblk(bp->b_datap);
  nb->b_rptr = bp->b_rptr;
  nb->b_wptr = bp->b_wptr;
  nb->b_band = bp->b_band;
  nb->b_flag = bp->b_flag;
  return nb;
}

mblk_t* dupmsg(mblk_t* mp) {
  mblk_t* head = nullptr;
  mblk_t** tail = &head;
  for (; mp != nullptr; mp = mp->b_cont) {
    mblk_t* nb = dupb(mp);
    if (nb == nullptr) {
      freemsg(head);
      return nullptr;
    }
    *tail = nb;
    tail = &nb->b_cont;
  }
  return head;
}

mblk_t* copyb(mblk_t* bp) {
  auto size = static_cast<size_t>(bp->b_datap->db_lim - bp->b_datap->db_base);
  mblk_t* nb = allocb(size, BPRI_MED);
  if (nb == nullptr) {
    return nullptr;
  }
  nb->b_datap->db_type = bp->b_datap->db_type;
  nb->b_rptr = nb->b_datap->db_base + (bp->b_rptr - bp->b_datap->db_base);
  nb->b_wptr = nb->b_rptr + (bp->b_wptr - bp->b_rptr);
  std::memcpy(nb->b_rptr, bp->b_rptr, static_cast<size_t>(bp->b_wptr - bp->b_rptr));
  nb->b_band = bp->b_band;
  nb->b_flag = bp->b_flag;
  return nb;
}

mblk_t* copymsg(mblk_t* mp) {
  mblk_t* head = nullptr;
  mblk_t** tail = &head;
  for (; mp != nullptr; mp = mp->b_cont) {
    mblk_t* nb = copyb(mp);
    if (nb == nullptr) {
      freemsg(head);
      return nullptr;
    }
    *tail = nb;
    tail = &nb->b_cont;
  }
  return head;
}

void linkb(mblk_t* mp, mblk_t* bp) {
  while (mp->b_cont != nullptr) {
    mp = mp->b_cont;
  }
  mp->b_cont = bp;
}

bufcall_id_t bufcall(size_t /*size*/, unsigned /*pri*/, void (*func)(void*), void* arg) {
  {
    auto& f = kemu::faults();
    std::lock_guard lk(f.mu);
    if (f.bufcall) {
      return 0;
    }
  }
  auto& b = kemu::bufcalls();
  auto entry = std::make_shared<kemu::BufcallEntry>(kemu::BufcallEntry{func, arg, false});
  bufcall_id_t id;
  {
    std::lock_guard lk(b.mu);
    // Entries of a kernel that went away before running them.
    std::erase_if(b.pending, [](const auto& kv) { return kv.second.expired(); });
    id = ++b.next;
    b.pending[id] = entry;
  }
  // Memory is never really short here, so the callback is due at once: the next tick.
  kemu::Kernel::current().interrupt(
      [entry, id] {
        auto& bc = kemu::bufcalls();
        {
          std::lock_guard lk(bc.mu);
          bc.pending.erase(id);
        }
        if (!entry->cancelled) {
          entry->func(entry->arg);
        }
      },
      1);
  return id;
}

void unbufcall(bufcall_id_t id) {
  auto& b = kemu::bufcalls();
  std::lock_guard lk(b.mu);
  auto it = b.pending.find(id);
  if (it == b.pending.end()) {
    return;
  }
  if (auto e = it->second.lock()) {
    e->cancelled = true;
  }
  b.pending.erase(it);
}
