// What a unit says of itself: the INQUIRY data that makes an address a QMX unit, and the
// pod inventory that lists the pods behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "unit_commands.h"

namespace kvscsi {

// The characters of src up to the first NUL or blank, at most n of them.
std::string strnwcpy(const char* src, std::size_t n);

// Fills product, version and pod_capable from INQUIRY data and returns true when the
// vendor is one of ours; a refused unit is left as it was.
bool evaluate_inquiry(std::span<const std::uint8_t> data, kv_dev& unit);

// The pods an inventory lists (entries 1-7 whose first byte is not 0), at the main unit's
// bus and target.
std::vector<kv_dev> pods_of(const kv_dev& main, std::span<const std::uint8_t> inventory);

} // namespace kvscsi
