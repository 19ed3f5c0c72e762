#include "qdhost/file_far_end.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qdhost {

std::shared_ptr<FileFarEnd> FileFarEnd::open(const std::string& path, std::string* why) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *why = path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::shared_ptr<FileFarEnd>(new FileFarEnd(fd, path));
}

FileFarEnd::~FileFarEnd() {
  ::close(fd_);
}

void FileFarEnd::transmit(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return; // a full disk or a broken file loses the rest
    }
    done += static_cast<std::size_t>(n);
  }
}

} // namespace qdhost
