// The diagnostic node as the SCSI unit tools use it: STREAMS I_STR requests carrying a
// record both ways (QMXSCSI, QMXLOCK, QMXUNLOCK). DiagNode is the real node; tests stand
// their own port in its place.
#pragma once

#include <cstdint>

#include "kvutils.h"

namespace kvscsi {

class DiagPort {
public:
  virtual ~DiagPort() = default;
  // One I_STR request with the default time-out: the record goes to the driver and comes
  // back with its answer. 0, or -1 with errno set.
  virtual int request(std::uint32_t cmd, void* record, int len) = 0;
};

class DiagNode final : public DiagPort {
public:
  DiagNode() = default;
  ~DiagNode() override;
  DiagNode(const DiagNode&) = delete;
  DiagNode& operator=(const DiagNode&) = delete;

  // Opens the node read-write with O_NDELAY; false with errno set.
  bool open(const char* path = kv::kDiagNode);
  void close();

  int request(std::uint32_t cmd, void* record, int len) override;

private:
  int fd_ = -1;
};

} // namespace kvscsi
