#include <fcntl.h>

#include "diag_port.h"
#include "qdev/qdev.h"
#include "qdio.h"

namespace kvscsi {

DiagNode::~DiagNode() {
  close();
}

bool DiagNode::open(const char* path) {
  close();
  fd_ = qdev::open(path, O_RDWR | O_NDELAY);
  return fd_ >= 0;
}

void DiagNode::close() {
  if (fd_ >= 0) {
    qdev::close(fd_);
    fd_ = -1;
  }
}

int DiagNode::request(std::uint32_t cmd, void* record, int len) {
  strioctl s{qd_ioc(cmd), 0, len, static_cast<char*>(record)};
  return qdev::ioctl(fd_, I_STR, &s);
}

} // namespace kvscsi
