// The relay: FAS bytes from the unit node to the module's socket and back, until the
// network side fails or the module stays silent for 120 seconds.
#pragma once

#include <cerrno>
#include <csignal>

#include "kvetherd/clock.h"
#include "kvetherd/log.h"
#include "kvetherd/unit_node.h"

namespace kvetherd {

inline constexpr int kIdleLimit = 120;            // seconds without module data
inline constexpr std::size_t kRelayBuffer = 4096; // one buffer for both directions

// How a step of the daemon ended.
enum class Outcome {
  done,       // went as wanted
  retry,      // the network side failed: the connection is given up and made again
  fatal,      // the unit node or the driver failed: the daemon shuts down
  terminated, // a SIGTERM arrived: the daemon shuts down
};

struct RelayPorts {
  UnitNode& node;
  int sock;
  Clock& clock;
  Logger& log;
  // Set by SIGTERM; a failure seen after it is the signal's doing.
  const volatile std::sig_atomic_t& stop;
};

// Runs until the network side fails or falls silent (retry; the caller closes the socket),
// a unit node call fails (fatal) or SIGTERM (terminated). Only data from the module
// restarts the 120 seconds; traffic from the driver does not.
Outcome relay(const RelayPorts& p);

// Writes all n bytes, however many calls that takes: n, or -1 with errno.
template <class WriteFn> ssize_t write_all(WriteFn&& write, const char* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = write(buf + done, n - done);
    if (w <= 0) {
      if (w == 0) {
        errno = EIO; // taking nothing would never end
      }
      return -1;
    }
    done += static_cast<std::size_t>(w);
  }
  return static_cast<ssize_t>(n);
}

} // namespace kvetherd
