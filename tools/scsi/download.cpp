// Sending an image file to the unit(s) selected, in blocks of 128 bytes.
#include <algorithm>

#include "screens.h"
#include "unit_channel.h"

namespace kvscsi {

int UnitChannel::download(const kv_dev& unit, std::FILE* file, std::uint8_t mask,
                          std::uint64_t size) {
  if (size >= kImageLimit) {
    // Size and offsets travel in 24 bits: refused before the unit is touched.
    con_.out("\nFirmware file is too large (16 MiB or more)\n");
    return kNotProgrammed;
  }
  const auto total = static_cast<std::uint32_t>(size);
  con_.out("\nSelecting unit...\n");
  if (select_unit(unit, mask, total) != 0) {
    con_.out("\nCouldn't select unit\n");
    return kNotProgrammed;
  }
  con_.out("\nReady to download. Continue? ([y]/n) ");
  if (!yes(con_)) {
    return kNotProgrammed;
  }
  header(con_);
  con_.out("\n\nErasing EEPROM...\n\n");
  con_.pause(1);
  std::uint32_t offset = 0;
  while (offset < total) {
    const std::uint32_t length = std::min(kBlockMax, total - offset);
    if (std::fread(sb.data, 1, length, file) != length) {
      con_.out("Error reading from data file\n");
      return offset > 0 ? kIncomplete : kNotProgrammed;
    }
    if (send_data(unit, length, offset) != 0) {
      con_.outf("Couldn't download at offset 0x%x\n", offset);
      return kIncomplete;
    }
    if (offset == 0) {
      con_.out("Programming...\n\n");
    }
    offset += length;
  }
  return kDownloaded;
}

} // namespace kvscsi
