// Opening a device through the device switch and the stream head.
#include <cerrno>

#include "ddi_impl.h"
#include "kemu/ddi.h"
#include "kemu/devopen.h"

namespace kemu {

int open_device(dev_t dev, int flags, const cred_t* cred, StreamFile& out) {
  ddi_detail::pass_open_gate(ddi_detail::live(), getmajor(dev));
  streamtab* tab = Ddi::current().streamtab_of(getmajor(dev));
  if (tab == nullptr) {
    return ENXIO;
  }
  return stream_open(tab, dev, flags, cred, out);
}

int open_device(std::string_view node_name, int flags, const cred_t* cred, StreamFile& out) {
  const std::optional<MinorNode> node = Ddi::current().find_minor(node_name);
  if (!node || node->spec_type != S_IFCHR) {
    return ENOENT;
  }
  return open_device(node->dev, flags, cred, out);
}

} // namespace kemu
