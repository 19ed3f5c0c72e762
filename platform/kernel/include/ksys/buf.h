// Buffer headers: how a driver describes a data transfer to the SCSI layer.
#pragma once

#include <cstddef>

#include "ksys/types.h"

// b_flags
inline constexpr int B_BUSY = 0x0001;
inline constexpr int B_DONE = 0x0002;
inline constexpr int B_ERROR = 0x0004;
inline constexpr int B_READ = 0x0040;  // data moves from the device into memory
inline constexpr int B_WRITE = 0x0100; // data moves from memory to the device
inline constexpr int B_REMAPPED = 0x4000;
static_assert((B_BUSY | B_READ | B_REMAPPED) == 0x4041);

// Plain data: getrbuf hands it out zeroed and freerbuf takes it back.
struct buf {
  int b_flags;
  std::size_t b_bcount; // bytes to transfer
  union {
    caddr_t b_addr; // where the bytes are (or go)
  } b_un;
  std::size_t b_bufsize; // size of the area at b_addr
  std::size_t b_resid;   // bytes not transferred
  int b_error;
  void* b_private;
};

// A buffer header of one's own: KM_SLEEP or KM_NOSLEEP. Null when memory is short
// (KM_NOSLEEP only) or when the layer is told to fail.
buf* getrbuf(int sleepflag);
void freerbuf(buf* bp);
