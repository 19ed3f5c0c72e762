// A pseudo-terminal pair, without the host's <termios.h> (the port's records may share the
// file).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace mevotest {

class PtyPair {
public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
      const char* name = ::ptsname(master_);
      slave_ = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    }
  }
  ~PtyPair() {
    if (slave_ >= 0) {
      ::close(slave_);
    }
    if (master_ >= 0) {
      ::close(master_);
    }
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  int master() const { return master_; }
  int slave() const { return slave_; }

private:
  int master_ = -1;
  int slave_ = -1;
};

} // namespace mevotest
