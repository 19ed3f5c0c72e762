// Everything the driver's own files share.
#pragma once

#include "fas.h"
#include "qd.h"
#include "qd_line.h"
#include "qd_log.h"
#include "qd_mem.h"
#include "qd_pool.h"
#include "qd_state.h"
#include "qd_trace.h"
#include "qd_trace_mode.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_util.h"
#include "qmx_unittab.h"
