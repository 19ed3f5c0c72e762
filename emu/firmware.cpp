#include "qdemu/firmware.h"

namespace qdemu {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

} // namespace

FirmwareFeatures firmware_features(std::string_view revision) {
  FirmwareFeatures f;
  if (revision.size() < 4 || !is_digit(revision[1]) || !is_digit(revision[3]))
    return f;
  const int major = revision[1] - '0';
  const int minor = revision[3] - '0';
  f.reset_and_wait_send = major > 2 || (major == 2 && minor > 2);
  f.remote_reset = major >= 6;
  return f;
}

} // namespace qdemu
