// Firmware image files: the header read from their first bytes, the default file name of a
// product, and whether a file fits a unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kvscsi {

inline constexpr std::size_t kHeaderRead = 256;

struct fw_header {
  std::string product; // at most 16 characters
  std::string version; // 4 characters: 'V', a digit, '.', one more
};

// The header of an image from its first 256 bytes; none when fewer are given or no version
// is found.
std::optional<fw_header> parse_file_header(std::span<const std::uint8_t> first);
// Reads the first 256 bytes of an open file and parses them; the file is left at offset 0.
std::optional<fw_header> get_file_header(std::FILE* file);

// 0 when the first n characters match, a lower-case 'x' on either side matching any
// character; 1 otherwise. Characters past the end of a string count as NUL.
int qd_strncmp(std::string_view a, std::string_view b, std::size_t n);
bool product_matches(std::string_view unit_product, const fw_header& file);

// "XY-100/ZW-200" gives "zw200.prm".
std::string make_fw_name(std::string_view product);

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

} // namespace kvscsi
