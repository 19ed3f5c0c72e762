#include "fiber.h"

#include <boost/context/detail/fcontext.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace bctx = boost::context::detail;

namespace kemu::detail {

namespace {

std::size_t page_size() {
  static const auto p = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return p;
}

// The guard pages, for the overflow reporter: read from a signal handler, so a fixed array
// filled under the pool's mutex and published by its count.
constexpr std::size_t kMaxGuards = 4096;
struct Guard {
  const char* lo;
  const char* hi;
  const char* const* owner;
};
Guard g_guards[kMaxGuards];
std::size_t g_guard_count = 0; // written under the pool's mutex, read by the handler
// Each stack's current owner name, where the handler can read it.
const char* g_owners[kMaxGuards];

struct sigaction g_previous {};

void write_str(const char* s) {
  if (s != nullptr) {
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, s, std::strlen(s));
  }
}

[[maybe_unused]] void on_segv(int sig, siginfo_t* info, void* /*uc*/) {
  const auto* addr = static_cast<const char*>(info->si_addr);
  const std::size_t n = __atomic_load_n(&g_guard_count, __ATOMIC_ACQUIRE);
  for (std::size_t i = 0; i < n; ++i) {
    if (addr >= g_guards[i].lo && addr < g_guards[i].hi) {
      write_str("kernel: fatal: stack overflow in context ");
      const char* who = __atomic_load_n(g_guards[i].owner, __ATOMIC_RELAXED);
      write_str(who != nullptr ? who : "(unknown)");
      write_str("\n");
      break;
    }
  }
  // Let the fault happen again under the action that was there before ours (the default
  // one: the process dies by SIGSEGV).
  sigaction(sig, &g_previous, nullptr);
}

void install_handler() {
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer reports overflows itself
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, &g_previous);
    if ((g_previous.sa_flags & SA_SIGINFO) == 0 && g_previous.sa_handler == SIG_IGN) {
      g_previous.sa_handler = SIG_DFL; // a fault ignored would come back for ever
    }
  });
#endif
}

#if defined(__SANITIZE_THREAD__)
// The lock held across a switch passes with it from one fiber (a thread to the sanitizer)
// to the other.
void lock_leaves(void* m) {
  if (m != nullptr) {
    __tsan_mutex_pre_unlock(m, 0);
    __tsan_mutex_post_unlock(m, 0);
  }
}
void lock_arrives(void* m) {
  if (m != nullptr) {
    __tsan_mutex_pre_lock(m, 0);
    __tsan_mutex_post_lock(m, 0, 0);
  }
}
#endif

struct EhRaw {
  void* caught;
  unsigned int uncaught;
};

} // namespace

StackPool& StackPool::instance() {
  static StackPool* pool = new StackPool; // lives as long as any fiber may
  return *pool;
}

Stack StackPool::take(const char* owner) {
  std::lock_guard<std::mutex> g(m_);
  Stack s;
  if (!free_.empty()) {
    s = free_.back();
    free_.pop_back();
  } else {
    const std::size_t page = page_size();
    const std::size_t map_size = kStackSize + page;
    void* p = mmap(nullptr, map_size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
      std::fputs("kernel: fatal: cannot map a context stack\n", stderr);
      std::abort();
    }
    if (mprotect(p, page, PROT_NONE) != 0) {
      std::fputs("kernel: fatal: cannot protect a stack guard page\n", stderr);
      std::abort();
    }
    s.map = static_cast<char*>(p);
    s.map_size = map_size;
    s.base = s.map + page;
    s.size = kStackSize;
    const std::size_t i = all_.size();
    if (i < kMaxGuards) {
      g_guards[i] = {s.map, s.map + page, &g_owners[i]};
      __atomic_store_n(&g_guard_count, i + 1, __ATOMIC_RELEASE);
    }
    all_.push_back(s);
  }
  for (std::size_t i = 0; i < all_.size() && i < kMaxGuards; ++i) {
    if (all_[i].map == s.map) {
      __atomic_store_n(&g_owners[i], owner, __ATOMIC_RELAXED);
    }
  }
#if defined(__SANITIZE_ADDRESS__)
  // Frames of the stack's last fiber may have left poisoned redzones behind.
  __asan_unpoison_memory_region(s.base, s.size);
#endif
  s.owner = owner;
  return s;
}

void StackPool::give(Stack s) {
  std::lock_guard<std::mutex> g(m_);
  free_.push_back(s);
}

std::size_t StackPool::high_water() {
  std::lock_guard<std::mutex> g(m_);
  const std::size_t page = page_size();
  std::size_t deepest = 0;
  std::vector<unsigned char> vec(kStackSize / page);
  for (const Stack& s : all_) {
    if (mincore(s.base, s.size, vec.data()) != 0) {
      continue;
    }
    for (std::size_t i = 0; i < vec.size(); ++i) {
      if ((vec[i] & 1) != 0) {
        deepest = std::max(deepest, s.size - i * page);
        break;
      }
    }
  }
  return deepest;
}

void StackPool::watch_thread() {
  install_handler();
  thread_local bool done = false;
  if (done) {
    return;
  }
  done = true;
  stack_t old{};
  if (sigaltstack(nullptr, &old) == 0 && (old.ss_flags & SS_DISABLE) == 0) {
    return; // the thread has one already
  }
  // Kept for the thread's life: the handler may need it at any moment.
  const std::size_t size = 64 * 1024;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    return;
  }
  stack_t ss{};
  ss.ss_sp = p;
  ss.ss_size = size;
  sigaltstack(&ss, nullptr);
}

// ---- Fiber ---------------------------------------------------------------------------------

Fiber::~Fiber() {
#if defined(__SANITIZE_THREAD__)
  if (tsan_fiber_ != nullptr) {
    __tsan_destroy_fiber(tsan_fiber_);
  }
#endif
  if (stack_.map != nullptr) {
    // Never resumed to its end (the kernel gave it up while it was suspended): its frames
    // are dropped with the stack, which goes back to the pool.
    StackPool::instance().give(stack_);
  }
}

void Fiber::start(Entry entry, void* arg, const char* owner, void* held) {
  stack_ = StackPool::instance().take(owner);
  held_ = held;
  entry_ = entry;
  arg_ = arg;
  finished_ = false;
  eh_ = {};
  fake_stack_ = nullptr;
#if defined(__SANITIZE_THREAD__)
  if (tsan_fiber_ == nullptr) {
    tsan_fiber_ = __tsan_create_fiber(0);
  }
  __tsan_set_fiber_name(tsan_fiber_, owner);
#endif
  ctx_ = bctx::make_fcontext(stack_.base + stack_.size, stack_.size,
                             [](bctx::transfer_t t) { trampoline(t.fctx, t.data); });
}

void Fiber::trampoline(void* from, void* data) {
  auto* f = static_cast<Fiber*>(data);
  f->back_ = from;
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_finish_switch_fiber(nullptr, &f->back_bottom_, &f->back_size_);
#endif
#if defined(__SANITIZE_THREAD__)
  lock_arrives(f->held_);
#endif
  f->entry_(f->arg_);
  f->finished_ = true;
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_start_switch_fiber(nullptr, f->back_bottom_, f->back_size_); // this stack is done
#endif
#if defined(__SANITIZE_THREAD__)
  lock_leaves(f->held_);
  __tsan_switch_to_fiber(f->tsan_back_, 0);
#endif
  bctx::jump_fcontext(f->back_, nullptr);
  std::abort(); // a finished fiber is never resumed
}

void Fiber::resume() {
  auto* g = reinterpret_cast<EhRaw*>(abi::__cxa_get_globals());
  const EhRaw mine = *g;
  *g = {eh_.caught, eh_.uncaught};
#if defined(__SANITIZE_ADDRESS__)
  void* fake = nullptr;
  __sanitizer_start_switch_fiber(&fake, stack_.base, stack_.size);
#endif
#if defined(__SANITIZE_THREAD__)
  tsan_back_ = __tsan_get_current_fiber(); // whichever host thread resumes it this time
  lock_leaves(held_);
  __tsan_switch_to_fiber(tsan_fiber_, 0);
#endif
  const bctx::transfer_t t = bctx::jump_fcontext(ctx_, this);
#if defined(__SANITIZE_THREAD__)
  lock_arrives(held_);
#endif
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
  ctx_ = t.fctx;
  eh_ = {g->caught, g->uncaught};
  *g = mine;
  if (finished_) {
    StackPool::instance().give(stack_);
    stack_ = {};
    ctx_ = nullptr;
  }
}

void Fiber::yield() {
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_start_switch_fiber(&fake_stack_, back_bottom_, back_size_);
#endif
#if defined(__SANITIZE_THREAD__)
  lock_leaves(held_);
  __tsan_switch_to_fiber(tsan_back_, 0);
#endif
  const bctx::transfer_t t = bctx::jump_fcontext(back_, nullptr);
  back_ = t.fctx;
#if defined(__SANITIZE_THREAD__)
  lock_arrives(held_);
#endif
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_finish_switch_fiber(fake_stack_, &back_bottom_, &back_size_);
#endif
}

} // namespace kemu::detail
