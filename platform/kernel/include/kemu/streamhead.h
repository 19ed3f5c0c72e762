// Stream heads: what a program's open, read, write, ioctl, poll and close on a STREAMS device
// do. Tests call this directly; qdhost serves device nodes with it.
//
// Every call here must run in a user context: inside Kernel::call (as_user below wraps one)
// or a task from Kernel::spawn. The caller's credentials are the context's (ddi_get_cred);
// user addresses in ioctl arguments go through the context's user memory (kemu/usermem.h).
// Calls on one StreamFile must not overlap its close.
//
// qdhost serves one StreamFile per connection: each request runs in Kernel::call with the
// peer's credentials and, for ioctl, a UserMemoryScope over the connection's handle table;
// an interrupted program becomes post_signal(ContextId) on the call's context; set_notify
// makes the connection's descriptor readable when poll() may have changed.
//
// One stream per device number: every open of the number calls the driver's open on the same
// stream, the driver's close runs at the last close, and opens and last closes of one number
// are serialised. The stream head's read queue holds at most kHeadHiwat bytes before the
// driver sees it full and takes reads again once they bring it below kHeadLowat. Writes go
// down in messages of at most the smallest q_maxpsz of the write side and kWriteCeiling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "kemu/kernel.h"
#include "ksys/stream.h"
#include "ksys/types.h"

namespace kemu {

// A driver that finds the head full may send more only on a timer (qd's input retry comes a
// tenth of a second later): room for a burst keeps a reader that keeps up from waiting on it.
inline constexpr std::size_t kHeadHiwat = 65536;
inline constexpr std::size_t kHeadLowat = 1024;
inline constexpr std::size_t kWriteCeiling = 4096;

// Result of a call: error 0 and the value (bytes, ioctl return value), or the errno.
struct IoResult {
  long value = 0;
  int error = 0;
  bool ok() const { return error == 0; }
};

// poll() bits.
inline constexpr unsigned kPollIn = 0x01;  // data queued (a read would not block)
inline constexpr unsigned kPollOut = 0x04; // a write would not block
inline constexpr unsigned kPollErr = 0x08; // M_ERROR received
inline constexpr unsigned kPollHup = 0x10; // hung up

struct OpenFile; // the stream head's record of one open

// One open of a device: what a file descriptor refers to. Dropping it without close() leaves
// the open in place (streams_open_count() shows it).
class StreamFile {
public:
  StreamFile();
  ~StreamFile();
  StreamFile(StreamFile&&) noexcept;
  StreamFile& operator=(StreamFile&&) noexcept;
  StreamFile(const StreamFile&) = delete;
  StreamFile& operator=(const StreamFile&) = delete;

  bool is_open() const;
  dev_t dev() const;
  int flags() const;
  // Changes FNDELAY and FNONBLOCK (as fcntl would); other bits are kept.
  void set_flags(int flags);

  // Blocks until data, hangup or error; O_NDELAY gives 0 and O_NONBLOCK EAGAIN when nothing is
  // queued; EINTR when a signal ends the wait. 0 after a hangup once queued data is read.
  IoResult read(std::span<std::byte> buf);
  // Flow controlled; EIO after a hangup; a signal or O_NONBLOCK ends it with the count written
  // so far, or EINTR / EAGAIN when nothing was written.
  IoResult write(std::span<const std::byte> buf);
  IoResult write(std::string_view text) { return write(std::as_bytes(std::span(text))); }
  // arg is a value or a user address, as the code says. I_STR, I_PUSH, I_POP, I_LOOK,
  // I_FLUSH; the terminal ioctls; anything else goes down transparent.
  IoResult ioctl(int cmd, std::intptr_t arg);
  template <class T> IoResult ioctl(int cmd, T* arg) {
    return ioctl(cmd, reinterpret_cast<std::intptr_t>(arg));
  }
  IoResult ioctl(int cmd, int arg) { return ioctl(cmd, std::intptr_t{arg}); }
  IoResult ioctl(int cmd, std::nullptr_t) { return ioctl(cmd, std::intptr_t{0}); }
  unsigned poll();
  // The driver declared the stream a terminal (M_SETOPTS with SO_ISTTY).
  bool is_tty() const;
  // fn runs (in kernel context; it must not block) whenever poll() may have changed.
  void set_notify(std::function<void()> fn);
  int close();

private:
  friend int stream_open(streamtab*, dev_t, int, const cred_t*, StreamFile&);
  std::shared_ptr<OpenFile> f_;
};

// Opens device dev of the driver `tab` with FREAD/FWRITE/FNDELAY/FNONBLOCK flags; cred null
// means the calling context's. 0, or the errno of the refusal.
int stream_open(streamtab* tab, dev_t dev, int flags, const cred_t* cred, StreamFile& out);

// Streams currently open (device numbers with at least one open).
std::size_t streams_open_count();
// Forgets every stream without calling any close routine, freeing queued messages: for test
// teardown after a failure. Returns how many were dropped.
std::size_t discard_all_streams();

// Runs fn as a user context with the given credentials and returns its result. When the
// kernel had to give the call up (it could not complete; the kernel reports why), the result
// is R{}.
template <class F> auto as_user(F&& fn, const cred_t& cred = Kernel::root_cred()) {
  using R = std::invoke_result_t<F&>;
  if constexpr (std::is_void_v<R>) {
    Kernel::current().call([&] { fn(); }, Wait::kJump, cred);
  } else {
    std::optional<R> r;
    Kernel::current().call([&] { r.emplace(fn()); }, Wait::kJump, cred);
    return r.has_value() ? std::move(*r) : R{};
  }
}

} // namespace kemu
