// A fresh directory under /tmp, removed with its contents at the end.
#pragma once

#include <filesystem>
#include <string>

namespace mevotest {

class TempDir {
public:
  TempDir() {
    char tmpl[] = "/tmp/mevo-test-XXXXXX";
    path_ = ::mkdtemp(tmpl) != nullptr ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::size_t count() const {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(path_)) {
      ++n;
    }
    return n;
  }

private:
  std::string path_;
};

} // namespace mevotest
