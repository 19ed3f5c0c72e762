// Basic kernel types, as the driver sees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h> // dev_t, the host's own width

using uchar_t = unsigned char;
using ushort_t = unsigned short;
using uint_t = unsigned int;
using ulong_t = unsigned long;
using caddr_t = char*;
using minor_t = std::uint32_t;
using major_t = std::uint32_t;
using boolean_t = int;
using intptr_t = std::intptr_t;
using uintptr_t = std::uintptr_t;
using clock_t = long; // same type as the C library's, so the two declarations agree

inline constexpr int B_FALSE = 0;
inline constexpr int B_TRUE = 1;

// Minor numbers are 18 bits wide; a device number is major << 18 | minor.
inline constexpr int NBITSMINOR = 18;
inline constexpr minor_t MAXMIN = (1u << NBITSMINOR) - 1;

inline constexpr dev_t makedevice(major_t maj, minor_t min) {
  return (static_cast<dev_t>(maj) << NBITSMINOR) | (min & MAXMIN);
}
inline constexpr major_t getmajor(dev_t dev) { return static_cast<major_t>(dev >> NBITSMINOR); }
inline constexpr minor_t getminor(dev_t dev) { return static_cast<minor_t>(dev & MAXMIN); }
inline constexpr minor_t geteminor(dev_t dev) { return getminor(dev); }

// Open flags the driver examines.
inline constexpr int FREAD = 0x01;
inline constexpr int FWRITE = 0x02;
inline constexpr int FNDELAY = 0x04;
inline constexpr int FNONBLOCK = 0x80;
