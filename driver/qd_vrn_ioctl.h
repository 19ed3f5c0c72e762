// Requests of a Lanvara unit node: the unit description (VRNGETUPTR, VRNSETUPTR) and
// bringing the unit online and offline (VRNONLINE, VRNOFFLINE). Called by the ioctl
// dispatch with the unit's "unit_mutex" held; each returns outcome 0.
#pragma once

#include <cstdint>

#include "ksys/stream.h"

int qdf_get_uptr_ioctl(queue_t* q, mblk_t* mp);
int qdf_set_uptr_ioctl(queue_t* q, mblk_t* mp);
int qdf_vrn_online_ioctl(queue_t* q, mblk_t* mp);
int qdf_vrn_offline_ioctl(queue_t* q, mblk_t* mp);

// Capability bits (QDU_CAP_*) of a firmware revision such as "V2.3": bit 0 from a second
// character above '1'; bits 1 and 3 from one above '2', or '2' with a fourth above '2'.
std::uint32_t qd_fw_caps(const char* fwrev);
