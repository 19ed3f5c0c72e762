// The per-line FAS command log and the console print of statistics answers.
#include <algorithm>
#include <cstring>

#include "fas.h"
#include "ksys/cmn_err.h"
#include "qd_trace_route.h"

namespace {

void log_entry(qd_line* lp, const unsigned char* hdr, bool answer) {
  unsigned char* start = &lp->fas_log[0][0];
  unsigned char* end = start + sizeof lp->fas_log;
  // No lock of its own: the callers hold the line's unit mutex.
  if (lp->fas_log_ptr < start || lp->fas_log_ptr + 8 > end) {
    lp->fas_log_ptr = start;
  }
  std::memcpy(lp->fas_log_ptr, hdr, 8);
  if (answer) {
    lp->fas_log_ptr[0] |= 0x80;
  }
  lp->fas_log_ptr += 8;
  if (lp->fas_log_ptr >= end) {
    lp->fas_log_ptr = start;
  }
}

unsigned target_of(const qd_line* lp) {
  return lp->unit != nullptr ? static_cast<unsigned>(lp->unit->qdu_target) : QD_GLOBAL_TARGET;
}

} // namespace

void qdf_logfasout(qd_line* lp, const unsigned char* cmd) {
  qd_trace_line(lp, "C~:$ ^\n", target_of(lp), fas_trace_label(cmd[0]), cmd);
  log_entry(lp, cmd, false);
}

void qdf_logfasin(qd_line* lp, const unsigned char* answer) {
  qd_trace_line(lp, "R~:$ ^\n", target_of(lp), fas_trace_label(answer[0]), answer);
  log_entry(lp, answer, true);
}

void qdf_display_statistics(const unsigned char* text, int length) {
  constexpr int PIECE = 40;
  while (length > 0) {
    const int n = std::min(length, PIECE);
    char piece[PIECE + 1];
    int i = 0;
    for (; i < n && text[i] != 0; ++i) {
      piece[i] = static_cast<char>(text[i]);
    }
    piece[i] = '\0';
    cmn_err(CE_CONT, "%s", piece);
    text += n;
    length -= n;
  }
}
