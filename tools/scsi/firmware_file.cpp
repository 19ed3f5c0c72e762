#include "firmware_file.h"

#include <array>
#include <cctype>

#include "unit_identity.h"

namespace kvscsi {
namespace {

constexpr std::size_t kHeaderLength = 128;
constexpr std::size_t kProductMax = 16;
constexpr std::size_t kVersionLength = 4;

char at(std::string_view s, std::size_t i) {
  return i < s.size() ? s[i] : '\0';
}

} // namespace

std::optional<fw_header> parse_file_header(std::span<const std::uint8_t> first) {
  if (first.size() < kHeaderRead) {
    return std::nullopt;
  }
  std::array<char, kHeaderLength + 1> h{};
  // A byte-doubled image stores every byte twice; its header is every other byte.
  const bool doubled = first[0] == first[1] && first[2] == first[3] && first[4] == first[5];
  for (std::size_t i = 0; i < kHeaderLength; ++i) {
    h[i] = static_cast<char>(first[doubled ? 2 * i : i]);
  }
  fw_header header;
  header.product = strnwcpy(h.data(), kProductMax);
  for (std::size_t i = 0; i + kVersionLength <= kHeaderLength; ++i) {
    if (h[i] == 'V' && std::isdigit(static_cast<unsigned char>(h[i + 1])) != 0 && h[i + 2] == '.') {
      header.version.assign(&h[i], kVersionLength);
      return header;
    }
  }
  return std::nullopt;
}

std::optional<fw_header> get_file_header(std::FILE* file) {
  std::array<std::uint8_t, kHeaderRead> first{};
  std::size_t got = 0;
  if (std::fseek(file, 0, SEEK_SET) == 0) {
    got = std::fread(first.data(), 1, first.size(), file);
  }
  std::optional<fw_header> header = parse_file_header(std::span(first.data(), got));
  // The download sends the file from its first byte.
  if (std::fseek(file, 0, SEEK_SET) != 0) {
    return std::nullopt;
  }
  return header;
}

int qd_strncmp(std::string_view a, std::string_view b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const char ca = at(a, i);
    const char cb = at(b, i);
    if (ca != cb && ca != 'x' && cb != 'x') {
      return 1;
    }
  }
  return 0;
}

bool product_matches(std::string_view unit_product, const fw_header& file) {
  return qd_strncmp(unit_product, file.product, file.product.size()) == 0;
}

std::string make_fw_name(std::string_view product) {
  if (const auto slash = product.find('/'); slash != std::string_view::npos) {
    product.remove_prefix(slash + 1);
  }
  std::string name;
  for (char c : product) {
    if (c != '-') {
      name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  }
  return name + ".prm";
}

} // namespace kvscsi
