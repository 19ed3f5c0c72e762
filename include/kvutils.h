// Helpers shared by the programs that work on the driver's device nodes (kvstty, kvab,
// kvflush, kvsoftcar, tbdump, kvupdate, kvscanbus, mevo, kvetherd, kvvrnreset). Library
// `kvutils` (tools/), on top of the device access calls of qdev/qdev.h.
//
// Free of the kernel's and the host's terminal headers, so that it can sit beside either.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// Where the driver's nodes live, as the programs spell it (qdev maps it to $QD_DEVDIR).
inline constexpr char kNodeDir[] = "/dev/qmx/";
inline constexpr char kDiagNode[] = "/dev/qmx/qmxdiag";
// Longest path the port tools keep for a node.
inline constexpr std::size_t kMaxPath = 255;

// A port name from a command line as a path: a name that does not begin with '/' is taken
// relative to the node directory. The result is cut to kMaxPath characters.
std::string node_path(std::string_view name);

// The minor number of a node: the low 18 bits of its device number.
inline constexpr std::uint32_t kMinorMask = 0x3ffff;
inline constexpr std::uint32_t minor_of(std::uint64_t rdev) {
  return static_cast<std::uint32_t>(rdev & kMinorMask);
}

enum class NodeCheck {
  kCharDevice,    // *minor is set
  kStatFailed,    // errno tells why
  kNotCharDevice, // exists but is no character device
};
// stat() of a node (through qdev, so nodes served by qdhost count as character devices).
NodeCheck check_char_device(const char* path, std::uint32_t* minor);

// Whether any of the words looks like an option ("-h", "--help"). For a program that takes
// none it is a mistyped command, not a node's name to look up.
inline bool any_option(std::span<char* const> words) {
  return std::any_of(words.begin(), words.end(), [](const char* w) { return w[0] == '-'; });
}

// The words of a command line (arguments after the program name), with every word that
// holds '=' split there into two: keyword=value gives "keyword" and then "value".
std::vector<std::string> split_words(std::span<const char* const> args);

// What happens when an open under an alarm does not return in time: `message` is written
// to descriptor `fd` and the process ends with `status`, from the signal handler (a port
// stuck in another process's open may never let the open return).
struct OpenTimeout {
  std::string message;
  int fd = 2;
  int status = 1;
};
// Opens a port read-write with O_NDELAY under alarm(seconds), so that the open does not
// wait for carrier, then cancels the alarm and makes the descriptor blocking again. The
// descriptor, or -1 with errno when the open failed. SIGALRM keeps the handler installed
// here.
int open_under_alarm(const char* path, unsigned seconds, const OpenTimeout& on_timeout);

// perror() to any stream: "prefix: text\n", or "text\n" when prefix is null or empty.
void report_errno(std::FILE* out, const char* prefix, int err);
// The same with the current errno.
void report_errno(std::FILE* out, const char* prefix);

} // namespace kv
