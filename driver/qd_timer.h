// The one-second driver timer.
#pragma once

void qdf_timer(void* arg);
