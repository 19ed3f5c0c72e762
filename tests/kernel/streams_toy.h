// A small STREAMS driver for tests of the stream head: it records what reaches it and does
// what the test tells it. One Toy lives per test; its callbacks find it through Toy::current.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "kemu/streams.h"
#include "ksys/mutex.h"
#include "ksys/stream.h"

namespace toy {

struct Ioctl {
  int cmd;
  unsigned count;
  std::vector<unsigned char> data;
  uid_t uid;
};

class Toy {
public:
  Toy();
  ~Toy();
  static Toy* current;

  streamtab tab{};
  module_info minfo{0, "toy", 0, INFPSZ, 512, 128};

  // ---- Behaviour (set by the test)
  int open_error = 0;
  bool hold_writes = false; // M_DATA stays queued on the write queue
  bool gate_open = false;   // open waits until release_gate()
  bool gate_close = false;  // close likewise
  // M_IOCTL and M_IOCDATA; by default M_IOCTL is refused with EINVAL and M_IOCDATA freed.
  std::function<void(queue_t* wq, mblk_t* mp)> on_ioctl;
  std::function<void(queue_t* wq, mblk_t* mp)> on_iocdata;

  // ---- What happened
  std::vector<std::string> events; // "open dev=<minor> sflag=<n> uid=<n>", "close <minor>", ...
  std::string written;             // M_DATA bytes taken at the write put procedure
  std::vector<std::size_t> write_sizes;
  std::vector<unsigned char> ctl;         // types of other messages reaching the write side
  std::vector<unsigned char> flush_flags; // first byte of each M_FLUSH reaching the driver
  std::vector<Ioctl> ioctls;
  int service_runs = 0;
  std::map<minor_t, queue_t*> rq; // read queue of each open stream

  void release_gate();
  // Puts data on the driver's read queue, as received input; its service sends it up.
  void send_up(minor_t minor, std::string_view data);
  // Sends a control message up from the driver (in a context).
  void send_ctl_up(minor_t minor, unsigned char type, int param = -1);
  // Takes up to n bytes of queued write data, as a driver's output would (in a context).
  std::string drain_writes(minor_t minor, std::size_t n);

  kmutex_t m{};
  kcondvar_t cv{};
  bool gate = false;

private:
  qinit rinit_{};
  qinit winit_{};
};

// Replies to an M_IOCTL in place.
void ack(queue_t* wq, mblk_t* mp, int rval = 0, const void* data = nullptr, std::size_t n = 0);
void nak(queue_t* wq, mblk_t* mp, int error);
iocblk* ioc(mblk_t* mp);
std::vector<unsigned char> bytes_of(const mblk_t* mp); // all blocks, b_rptr to b_wptr

// A test with a virtual-clock kernel, the toy driver, and checks that nothing leaked.
class StreamsTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  dev_t dev(minor_t minor) const { return makedevice(77, minor); }
  // Opens in a user context with the given uid.
  int open(kemu::StreamFile& f, minor_t minor, int flags = FREAD | FWRITE, uid_t uid = 0);
  void close(kemu::StreamFile& f);
  kemu::IoResult read(kemu::StreamFile& f, std::string& out, std::size_t n = 8192);
  kemu::IoResult write(kemu::StreamFile& f, std::string_view s);
  kemu::IoResult ioctl(kemu::StreamFile& f, int cmd, std::intptr_t arg);
  template <class T> kemu::IoResult ioctl(kemu::StreamFile& f, int cmd, T* arg) {
    return ioctl(f, cmd, reinterpret_cast<std::intptr_t>(arg));
  }
  kemu::IoResult ioctl(kemu::StreamFile& f, int cmd, int arg) {
    return ioctl(f, cmd, std::intptr_t{arg});
  }
  kemu::IoResult ioctl(kemu::StreamFile& f, int cmd, std::nullptr_t) {
    return ioctl(f, cmd, std::intptr_t{0});
  }

  kemu::Kernel k;
  Toy drv;
  std::size_t blocks_at_start = 0;
};

cred_t user_cred(uid_t uid);

} // namespace toy
