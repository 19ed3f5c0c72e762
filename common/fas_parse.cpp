// Line-number rule, item sizing and the opcode check of FAS headers.
#include "fas.h"

#include "ksys/cmn_err.h"

namespace {

bool opcode_valid(unsigned op) {
  return op <= FAS_SPECIAL_FUNC || op == FAS_CONFIG_LINK || op == FAS_MUX_STATS || op == PKT_END;
}

} // namespace

int byte1_is_linenum(const unsigned char* hdr) {
  switch (hdr[0]) {
  case FAS_GLOBAL:
  case FAS_UNIT_POLL:
  case FAS_UNIT_UNLOCK:
  case FAS_UNIT_INQUIRY:
  case FAS_CONFIG_LINK:
  case FAS_MUX_STATS:
  case PKT_END:
    return 0;
  default:
    return 1;
  }
}

int linenum(const unsigned char* hdr) {
  return byte1_is_linenum(hdr) ? hdr[1] : -1;
}

int size_faspkt(const unsigned char* hdr, int inbound) {
  const unsigned op = hdr[0];
  if (op == PKT_END)
    return 1;
  if (!inbound)
    return op == FAS_SEND ? FAS_HDR_SIZE + static_cast<int>(fas_get16(hdr + 2)) : FAS_HDR_SIZE;
  switch (op) {
  case FAS_RECV:
  case FAS_UNIT_STATS:
  case FAS_LINE_STATE:
  case FAS_MUX_STATS:
    return FAS_HDR_SIZE + static_cast<int>(fas_get16(hdr + 4));
  case FAS_UNIT_INQUIRY:
    return FAS_HDR_SIZE + static_cast<int>(fas_get16(hdr + 6));
  default:
    return FAS_HDR_SIZE;
  }
}

int fascmd_is_ok(const unsigned char* hdr) {
  if (opcode_valid(hdr[0]))
    return 1;
  cmn_err(CE_WARN, "Bad FAS command (invalid opcode): %02x%02x%02x%02x %02x%02x%02x%02x", hdr[0],
          hdr[1], hdr[2], hdr[3], hdr[4], hdr[5], hdr[6], hdr[7]);
  return 0;
}
