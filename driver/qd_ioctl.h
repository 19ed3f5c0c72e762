// Ioctl scheduling, transparent copy and the pending-ioctl slots of a port line.
#pragma once

#include "ksys/tty_common.h"

struct qd_line;

// Service outcomes.
inline constexpr int QD_IOC_DONE = 0;    // the message is its reply; send it up
inline constexpr int QD_IOC_REQUEUE = 1; // not now: back to the head of the write queue
inline constexpr int QD_IOC_HELD = 2;    // answered later by whoever holds it

void qdf_schedule_ioctl(queue_t* q, mblk_t* mp);
int qdf_service_ioctl(queue_t* q, mblk_t* mp);
int qdf_transparent(queue_t* q, mblk_t* mp);
void qdf_copyin(mblk_t* mp, int size);
int qdf_common_get_ioctl(queue_t* q, mblk_t* mp, int length, const void* source);
void qdf_make_ioctl_ack(mblk_t* mp);
void qdf_make_ioctl_nak(mblk_t* mp, int error);
void qdf_reioctl(void* lp);
// Completes the line's pending ioctl when the unit answers opcode 8, 9, 11 or 24.
void qdf_utility_ioctl_wrapup(qd_line* lp, int opcode, int status);
void qdf_utility_ioctl_timeout(void* lp);
void qdf_utility_cleanup(qd_line* lp);
const char* qdf_ioctl_name(int cmd);
