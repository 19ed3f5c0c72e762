// Taking an ioctl's argument out of its message without reading past what the caller sent.
#pragma once

#include <cstddef>

#include "ksys/stream.h"

inline iocblk* qd_iocp(mblk_t* mp) {
  return reinterpret_cast<iocblk*>(mp->b_rptr);
}

// The record of a non-transparent ioctl when its count and its first data block both hold
// at least size bytes; null otherwise.
unsigned char* qd_ioc_record(mblk_t* mp, std::size_t size);
// The integer argument: the 4-byte record of an I_STR ioctl, or the value of a plain
// (transparent) one. False when the message carries neither.
bool qd_ioc_int(mblk_t* mp, int* value);
// The caller's credentials are privileged.
bool qd_ioc_privileged(mblk_t* mp);
