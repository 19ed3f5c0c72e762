// A file at the far end of a port: what the port sends is appended to it, nothing comes
// back. A printer that prints into a file, or a witness for checks of what left a port.
#pragma once

#include <memory>
#include <string>

#include "qdemu/far_end.h"

namespace qdhost {

class FileFarEnd final : public qdemu::FarEnd {
public:
  // Opens (creates) the file for appending; null with *why set when that fails.
  static std::shared_ptr<FileFarEnd> open(const std::string& path, std::string* why);
  ~FileFarEnd() override;
  FileFarEnd(const FileFarEnd&) = delete;
  FileFarEnd& operator=(const FileFarEnd&) = delete;

  const std::string& path() const { return path_; }
  // Written straight through: once transmit returns, the bytes are in the file.
  void transmit(std::span<const std::uint8_t> bytes) override;

private:
  FileFarEnd(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

} // namespace qdhost
