#include "kvetherd/unit_node.h"

#include <fcntl.h>

#include "qdev/qdev.h"
#include "qdio.h"

namespace kvetherd {

DeviceUnitNode::~DeviceUnitNode() {
  close();
}

int DeviceUnitNode::open(const std::string& path) {
  fd_ = qdev::open(path.c_str(), O_RDWR);
  return fd_ < 0 ? -1 : 0;
}

ssize_t DeviceUnitNode::read(void* buf, std::size_t n) {
  return qdev::read(fd_, buf, n);
}

ssize_t DeviceUnitNode::write(const void* buf, std::size_t n) {
  return qdev::write(fd_, buf, n);
}

int DeviceUnitNode::pop() {
  return qdev::ioctl(fd_, I_POP, 0);
}

int DeviceUnitNode::request(unsigned cmd, void* data, int len) {
  strioctl req{};
  req.ic_cmd = qd_ioc(cmd);
  req.ic_timout = 0;
  req.ic_len = len;
  req.ic_dp = static_cast<char*>(data);
  return qdev::ioctl(fd_, I_STR, &req) < 0 ? -1 : 0;
}

void DeviceUnitNode::close() {
  if (fd_ >= 0) {
    qdev::close(fd_);
    fd_ = -1;
  }
}

} // namespace kvetherd
