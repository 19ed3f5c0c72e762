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
