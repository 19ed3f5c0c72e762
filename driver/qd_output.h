// Line output: the write-queue dispatcher, serial and parallel output, the parallel
// ring, the output watchdog and the FAS_SEND size.
#pragma once

#include <cstdint>

#include "ksys/tty_common.h"

struct qd_line;

inline constexpr int QD_PARQ_SIZE = 8192;

// A parallel port's output ring, from its first open until unload.
struct qd_parq {
  std::int32_t count; // bytes queued; the count, not the pointers, tells full from empty
  unsigned char* wptr;
  unsigned char* rptr;
  unsigned char* endptr; // data + QD_PARQ_SIZE
  unsigned char data[QD_PARQ_SIZE];
};

void qdf_process_wrq(queue_t* q);
void qdf_serial_output(queue_t* q, mblk_t* mp, qd_line* lp);
void qdf_parallel_output(queue_t* q, mblk_t* mp, qd_line* lp);
void qdf_start_parallel(qd_line* lp);
// Completes a FAS_SEND whose header and count data bytes are reserved at hdr: writes the
// header, records it, marks the send outstanding and kicks the transport.
void qd_send_reserved(qd_line* lp, unsigned char* hdr, int count);
void qdf_move_to_queue(const unsigned char* src, qd_parq* ring, int n);
void qdf_move_from_queue(qd_parq* ring, unsigned char* dst, int n);
void qdf_output_watchdog(qd_line* lp);
void qd_set_curr_size_fassend(qd_line* lp);
// Seconds that output of the line may take before its watchdogs give up (0: no limit):
// louttmr for a local line opened on the dial-in node, else outtmr.
int qdf_output_limit(const qd_line* lp);
