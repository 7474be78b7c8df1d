// SPDX-License-Identifier: MIT
// The library's own log, "ku", whose level comes from KU_DEBUG.
#include <ku/ku_log.h>

extern "C" {
KU_API KU_LOG_DEFINE(ku_log_global, "ku", "KU_DEBUG");
}
