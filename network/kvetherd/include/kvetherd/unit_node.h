// The daemon's side of a Lanvara unit's unit node: the FAS bytes both ways and the four
// unit-node requests.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace kvetherd {

class UnitNode {
public:
  virtual ~UnitNode() = default;
  // Opens the node for reading and writing: 0, or -1 with errno.
  virtual int open(const std::string& path) = 0;
  // The descriptor to select() on; -1 while closed.
  virtual int fd() const = 0;
  // Each read returns the commands of one outgoing packet of the unit.
  virtual ssize_t read(void* buf, std::size_t n) = 0;
  // What is written is taken as the module's answers.
  virtual ssize_t write(const void* buf, std::size_t n) = 0;
  // Removes the top STREAMS module (I_POP): 0, or -1 with errno.
  virtual int pop() = 0;
  // A request through I_STR with the default time-out and `len` bytes of `data` (filled
  // in by requests that answer with a record): 0, or -1 with errno.
  virtual int request(unsigned cmd, void* data, int len) = 0;
  virtual void close() = 0;
};

// The node served by the driver, through the programs' device access.
class DeviceUnitNode final : public UnitNode {
public:
  DeviceUnitNode() = default;
  ~DeviceUnitNode() override;
  DeviceUnitNode(const DeviceUnitNode&) = delete;
  DeviceUnitNode& operator=(const DeviceUnitNode&) = delete;

  int open(const std::string& path) override;
  int fd() const override { return fd_; }
  ssize_t read(void* buf, std::size_t n) override;
  ssize_t write(const void* buf, std::size_t n) override;
  int pop() override;
  int request(unsigned cmd, void* data, int len) override;
  void close() override;

private:
  int fd_ = -1;
};

} // namespace kvetherd
