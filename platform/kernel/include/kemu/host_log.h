// Where the messages of the emulated kernel (its console, its reports) and of the programs
// built on it go.
//
// By default a message is written to standard error at once, by whoever says it (tests,
// tools). A program whose CPU thread must never wait on the host (qdhost) buffers the log
// instead: from then on saying a message only copies it into a bounded buffer, and another
// thread writes the buffer out with write_log(), which never blocks either. A message that
// does not fit is dropped whole and counted; once there is room again a line says how many
// went.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kemu {

inline constexpr std::size_t kLogBuffer = 256 * 1024;

// One or more whole lines, each ending in a newline. Any thread; never blocks once the log
// is buffered.
void log_text(std::string_view text);

// From now on messages go to a buffer of `capacity` bytes, written out to fd by write_log().
// The note on dropped messages starts with "name: ". fd stays the caller's.
void buffer_log(int fd, std::string name, std::size_t capacity = kLogBuffer);
// Back to writing at once; what waits in the buffer is dropped.
void direct_log();

// Readable while messages wait for write_log() (an eventfd); -1 when the log is direct.
int log_ready_fd();
// What write_log() writes to: once it says more waits, poll this for POLLOUT.
int log_out_fd();
// Writes what the descriptor takes now, without blocking; true when more waits. One thread
// at a time.
bool write_log();
// Keeps writing, waiting for the descriptor, until nothing waits or `ms` milliseconds
// have passed; true when everything went.
bool drain_log(int ms);

// Messages dropped since the log was buffered.
std::uint64_t log_dropped();

} // namespace kemu
