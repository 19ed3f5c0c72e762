// The device directory, checked once from / down and from then on used only through a
// descriptor of it.
//
// Whoever may change any directory on the way to it could swap the device directory for one
// of their own and answer every program that opens a node there. So every directory from /
// down to it must belong to root or to qdhost's user and be writable by no group or other; a
// directory above it may be writable by others when it is sticky (such as /tmp), since
// nobody else may then rename or remove what it holds. A symbolic link on the way must belong
// to root or to qdhost's user too, and is followed. The device directory itself may be
// written by qdhost's user alone, sticky or not.
#pragma once

#include <memory>
#include <string>

namespace qdhost {

class DeviceDir {
public:
  // Makes `path` absolute against the working directory, creates what is missing of it (each
  // new directory 0755, whatever the umask) and checks the whole way. Null, with *err set to
  // an errno and *why naming the component refused, when it cannot be trusted or made.
  static std::unique_ptr<DeviceDir> open(const std::string& path, int* err, std::string* why);
  ~DeviceDir();
  DeviceDir(const DeviceDir&) = delete;
  DeviceDir& operator=(const DeviceDir&) = delete;

  // The directory (a descriptor for the *at calls, not for reading).
  int fd() const { return fd_; }
  // Its absolute path without links: the sockets are bound under it.
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return (path_ == "/" ? std::string() : path_) + "/" + name;
  }

private:
  DeviceDir(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

} // namespace qdhost
