// The stream head's records, shared by its open/read/write and ioctl files.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "kemu/streamhead.h"
#include "ksys/mutex.h"
#include "ksys/stream.h"
#include "streams_internal.h"

namespace kemu {

struct Stream;

struct OpenFile {
  Stream* stream = nullptr; // null once closed
  dev_t dev = 0;
  int flags = 0;
  std::function<void()> notify;
};

struct Stream {
  dev_t dev = 0;
  streamtab* driver_tab = nullptr;

  // One lock and one condition for every wait on the stream (opens, reads, writes, ioctls).
  kmutex_t lock{};
  kcondvar_t cv{};

  std::unique_ptr<QueuePair> head;
  std::vector<std::unique_ptr<QueuePair>> modules; // top first
  std::unique_ptr<QueuePair> driver;

  int refs = 0;             // completed opens and opens in progress
  bool busy = false;        // an open or the last close is inside the driver
  bool driver_open = false; // the driver's open succeeded and its close has not run

  bool hangup = false;
  int rerror = 0; // from M_ERROR
  int werror = 0;
  bool istty = false;
  int readopt = RNORM;
  bool ndelon = true; // O_NDELAY reads and writes that would block give 0
  bool mreadon = false;

  // The one ioctl in progress.
  bool ioc_busy = false;
  unsigned ioc_id = 0;
  mblk_t* ioc_reply = nullptr;

  std::vector<OpenFile*> files;

  queue_t* rq() { return &head->q[0]; }
  queue_t* wq() { return &head->q[1]; }
};

// Wakes every waiter of the stream and tells the opens' notify functions.
void stream_wake(Stream* st);
// Rebuilds q_next and q_back along head, modules and driver.
void stream_relink(Stream* st);
// Pushes a registered module under the head and opens it; pops the top module.
int stream_push(Stream* st, streamtab* tab, std::string_view name, int flags, cred_t* cr);
void stream_pop(Stream* st, int flags, cred_t* cr);

// The ioctl of a StreamFile.
IoResult stream_ioctl(OpenFile& f, int cmd, std::intptr_t arg);

} // namespace kemu
