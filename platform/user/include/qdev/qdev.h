// Device access for the programs: what they call instead of open, close, read, write, ioctl,
// fcntl and stat.
//
// A path in the device directory names a device node served by qdhost. The directory is
// $QD_DEVDIR when set, else /dev/qmx; a path under /dev/qmx/ is taken to mean the same node
// in $QD_DEVDIR, so programs keep their "/dev/qmx/%s" names when qdhost serves another
// directory. Every other path, and every descriptor these calls did not open on a node, goes
// to the ordinary system call.
//
// The descriptor of an opened node is a real one (a connected socket): select() and poll()
// work on it and report it readable exactly while a read would not block (data, hangup or
// error queued at the stream head; when several programs open one minor, another may take
// the data first, as with any shared stream). Writability is the socket's own: a write may still
// block on the stream's flow control, as a blocking write does. Use these calls, not the
// system calls, on it; dup() and fork() sharing are not supported (it is opened
// close-on-exec).
//
// Passing a node on: a program that clears close-on-exec and runs another with the node's
// descriptor (as standard input, say) hands the node over. The other program's calls take
// over a descriptor they did not open when it is connected to a node of their device
// directory. The giver must not use the node meanwhile; the calls carry the credentials of
// the program that opened it; close() only closes the descriptor, and the stream is closed
// when its last holder has let go.
//
// Calls block the way the device does. A signal that arrives while a call blocks, with a
// handler installed without SA_RESTART, makes the call return -1 with EINTR once the kernel
// side has given up the wait (the driver sees the signal in cv_wait_sig).
//
// Signal handlers: read, write, close, fcntl and every form of ioctl are safe to call from
// a handler, also while the handler interrupted another call: they allocate nothing and take
// no lock. That holds on a node this program opened (or has already used outside the
// handler: a descriptor passed on by another program is taken over, which allocates, at its
// first use); calls nest at most 4 deep, and a deeper one fails with EBUSY. A descriptor
// closed from a handler stays reserved until the interrupted call has returned. open, stat,
// register_buffer, unregister_buffer and these calls on a descriptor that is no node are
// not safe there. Save errno in the handler, as with any call.
// The programs are single-threaded; so are these calls.
//
// Failures are reported as by the system calls: -1 and errno.
//
// Open flags: O_RDONLY, O_WRONLY, O_RDWR as usual. On this host O_NDELAY is O_NONBLOCK; it
// means the System V no-delay (a read with nothing queued returns 0). kNonblock asks for the
// POSIX kind (EAGAIN). Both work with fcntl(F_SETFL) too.
//
// ioctl: the forms below cover what the programs pass.
//   ioctl(fd, I_STR, &strioctl)    record and its ic_dp data travel both ways
//   ioctl(fd, I_POP, 0)            plain values (QMXFLUSH with a minor, TCSBRK, TCFLSH, ...)
//   ioctl(fd, I_PUSH, "name")      a module name
//   ioctl(fd, TCGETS, &termios)    a pointer to a record: sizeof the record travels both ways
//                                  (const: to the driver only); TIOCMGET with &int likewise
//   ioctl(fd, cmd, buf, len)       a byte buffer of len bytes
// A record that carries a 32-bit buffer address (qd_trc_req) holds a handle from
// register_buffer() instead; the driver's copies to and from that address reach the buffer.
// On a descriptor that is not a node, ioctl codes of the System V terminal and STREAMS
// families ('T', 't', 'S') are refused with ENOTTY, since the host gives those numbers other
// meanings; other codes go to the host's ioctl.
//
// stat(): a node is reported as a character device whose st_rdev is the driver's device
// number (major << 18 | minor: st_rdev & 0x3ffff is the minor; use major_of/minor_of, not
// the host's major()/minor()); the other fields are those of the node's socket file.
//
// Terminal records: qdev/tty.h, kept apart because it cannot share a translation unit with
// the host's <termios.h>.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "ksys/stropts.h"

namespace qdev {

// Open and fcntl flag for POSIX non-blocking reads and writes on a node (see above).
inline constexpr int kNonblock = 0x40000000;

// Bits of the minor number in a device number.
inline constexpr unsigned kMinorBits = 18;
constexpr unsigned long major_of(dev_t dev) {
  return static_cast<unsigned long>(dev >> kMinorBits);
}
constexpr unsigned long minor_of(dev_t dev) {
  return static_cast<unsigned long>(dev & ((1u << kMinorBits) - 1));
}

// $QD_DEVDIR or /dev/qmx, without a trailing '/'.
std::string device_dir();
// The node's socket path when `path` names a node in the device directory (whether or not
// it exists), else empty.
std::string node_socket_path(const char* path);
// Whether fd is an open node descriptor of these calls.
bool is_device(int fd);

int open(const char* path, int oflag, mode_t mode = 0);
int close(int fd);
ssize_t read(int fd, void* buf, std::size_t n);
ssize_t write(int fd, const void* buf, std::size_t n);
// F_GETFL and F_SETFL (O_NDELAY/O_NONBLOCK, kNonblock) on a node; other commands act on its
// socket (F_GETFD, F_SETFD).
int fcntl(int fd, int cmd, int arg = 0);
int stat(const char* path, struct ::stat* st);

// ---- ioctl ----------------------------------------------------------------------------------

int ioctl_value(int fd, int cmd, long value);
int ioctl(int fd, int cmd, strioctl* s);
int ioctl(int fd, int cmd, const char* text);
int ioctl(int fd, int cmd, void* buf, std::size_t len);
int ioctl(int fd, int cmd, const void* buf, std::size_t len);

inline int ioctl(int fd, int cmd) {
  return ioctl_value(fd, cmd, 0);
}
inline int ioctl(int fd, int cmd, std::nullptr_t) {
  return ioctl_value(fd, cmd, 0);
}
template <std::integral I> int ioctl(int fd, int cmd, I value) {
  return ioctl_value(fd, cmd, static_cast<long>(value));
}
// A pointer to one record (not to char: give byte buffers their length).
template <class T>
requires(std::is_object_v<T> && !std::is_same_v<std::remove_cv_t<T>, char> &&
         !std::is_same_v<std::remove_cv_t<T>, strioctl>) int ioctl(int fd, int cmd, T* record) {
  if constexpr (std::is_const_v<T>) {
    return ioctl(fd, cmd, static_cast<const void*>(record), sizeof(T));
  } else {
    return ioctl(fd, cmd, static_cast<void*>(record), sizeof(T));
  }
}

// ---- Buffers named by 32-bit addresses ------------------------------------------------------

enum class BufferUse {
  kToDriver = 1,   // the driver copies in from it; its bytes go with every ioctl
  kFromDriver = 2, // the driver copies out to it; nothing is sent
  kBoth = 3,
};

// Registers a buffer and returns the 32-bit address to put in a record, or 0 with errno
// (EINVAL: empty or larger than one ioctl may expose, 256 KiB; ENOMEM: no address left).
// The buffer must stay valid until it is unregistered. Every ioctl on a node exposes every
// registered buffer, so unregister a buffer when its request is done.
std::uint32_t register_buffer(void* buf, std::size_t len, BufferUse use = BufferUse::kBoth);
// 0, or -1 with EINVAL for an unknown handle.
int unregister_buffer(std::uint32_t handle);

} // namespace qdev
