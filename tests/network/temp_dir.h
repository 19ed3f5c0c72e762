// A fresh directory under /tmp, removed with what it holds at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace nettest {

class TempDir {
public:
  TempDir() {
    char templ[] = "/tmp/qdnet.XXXXXX";
    if (::mkdtemp(templ) != nullptr) {
      path_ = templ;
    }
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) {
      std::filesystem::remove_all(path_, ec);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

} // namespace nettest
