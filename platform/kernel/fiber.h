// Fibers for kernel contexts: a stack from a pool (guard page below each), saved registers
// (Boost.Context's fcontext), and what must travel with a stack when the host thread
// switches between them: the sanitizer's idea of the current stack and the C++ runtime's
// per-thread exception state (a context may be switched out inside a catch block).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kemu::detail {

// One fiber stack: [guard page][usable bytes], growing down towards the guard.
struct Stack {
  char* map = nullptr; // the whole mapping, guard page first
  std::size_t map_size = 0;
  char* base = nullptr; // lowest usable byte
  std::size_t size = 0;
  const char* owner = nullptr; // name of the context on it, for the overflow message
};

// Usable bytes per context stack. The deepest path measured (bench_throughput's
// stack_used: the driver's attach, opens, ioctls and data paths) uses 4 KiB optimised and
// 8 KiB in a debug build: 64 KiB leaves eight times that. Pages are touched only as deep as
// a context goes, so an idle context costs about what it used. Sanitizer frames are
// several times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kStackSize = 256 * 1024;
#else
inline constexpr std::size_t kStackSize = 64 * 1024;
#endif

// Stacks are mapped once and reused; they go back to the host only when the process ends.
// An overflow runs into the guard page: SIGSEGV, reported on an alternate signal stack with
// the name of the context that overflowed.
class StackPool {
public:
  static StackPool& instance();
  Stack take(const char* owner);
  void give(Stack s);
  // Deepest use of any stack so far, in bytes: a page is resident only once something
  // has touched it, so the lowest resident page of each stack marks how deep it went.
  std::size_t high_water();
  // Installs the overflow reporter on the calling thread (once per thread).
  static void watch_thread();

private:
  std::mutex m_;
  std::vector<Stack> free_;
  std::vector<Stack> all_;
};

class Fiber {
public:
  using Entry = void (*)(void* arg);
  Fiber() = default;
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;
  ~Fiber();

  // Prepares entry(arg) to run on a fresh stack at the first resume(). `held`: a lock held
  // across every switch, taken on one side and let go on the other (for ThreadSanitizer,
  // which sees each fiber as a thread of its own).
  void start(Entry entry, void* arg, const char* owner, void* held = nullptr);
  bool started() const { return stack_.map != nullptr; }
  bool finished() const { return finished_; }
  // From outside: runs the fiber until it yields or its entry returns. A finished fiber's
  // stack goes back to the pool here.
  void resume();
  // From inside: back to whoever resumed it.
  void yield();

private:
  static void trampoline(void* transfer_fctx, void* data);
  struct EhGlobals {
    void* caught = nullptr;
    unsigned int uncaught = 0;
  };

  Stack stack_;
  void* ctx_ = nullptr;  // the fiber's registers while it is suspended
  void* back_ = nullptr; // the resumer's registers while the fiber runs
  Entry entry_ = nullptr;
  void* arg_ = nullptr;
  bool finished_ = false;
  EhGlobals eh_;
  // Sanitizer bookkeeping: the resumer's stack, and the fiber's fake stack while it is out.
  const void* back_bottom_ = nullptr;
  std::size_t back_size_ = 0;
  void* fake_stack_ = nullptr;
  // ThreadSanitizer's: the fiber's own state (kept across starts), and its resumer's.
  void* tsan_fiber_ = nullptr;
  void* tsan_back_ = nullptr;
  void* held_ = nullptr;
};

} // namespace kemu::detail
