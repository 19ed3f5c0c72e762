// The file step of an update: which image, whether it fits the unit, and its download.
#include <sys/stat.h>

#include "firmware_file.h"
#include "screens.h"
#include "updater.h"

namespace kvscsi {

int Updater::program_unit(const kv_dev& unit, std::uint8_t mask) {
  std::string name = make_fw_name(unit.product);
  con_.out("\nSelecting firmware file to download...\n");
  con_.outf("\nEnter filename or <CR> to use default (%s): ", name.c_str());
  const auto l = con_.line();
  if (!l) {
    return kNotProgrammed;
  }
  if (!l->empty()) {
    name = *l;
  }
  if (name.size() > kFileNameMax) {
    con_.outf("File name longer than %u characters.\n", static_cast<unsigned>(kFileNameMax));
    return kNotProgrammed;
  }
  struct ::stat st {};
  if (::stat(name.c_str(), &st) != 0) {
    con_.outf("Could not stat file '%s'.\n", name.c_str());
    return kNotProgrammed;
  }
  const FilePtr file(std::fopen(name.c_str(), "rb"));
  if (!file) {
    con_.out("Couldn't open data file\n");
    return kNotProgrammed;
  }
  const std::optional<fw_header> h = get_file_header(file.get());
  if (!h) {
    con_.out("Couldn't read file header info\n");
    return kNotProgrammed;
  }
  if (!product_matches(unit.product, *h)) {
    con_.out("Product ID of firmware file does not match unit\n");
    return kNotProgrammed;
  }
  con_.outf("\nVersion of file '%s' is %s\n", name.c_str(), h->version.c_str());
  return channel_.download(unit, file.get(), mask, static_cast<std::uint64_t>(st.st_size));
}

} // namespace kvscsi
