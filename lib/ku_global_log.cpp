// SPDX-License-Identifier: MIT
// The library's own log, "ku", whose level comes from KU_DEBUG.
#include <ku/ku_log.h>

extern "C" {
KU_API ku_log_t ku_log_global = {sizeof(ku_log_t), "ku", "KU_DEBUG", 0, 9, 0, nullptr, nullptr};
}
