// SPDX-License-Identifier: MIT
// The default log, "brome", and its logger.
#include <ku/ku_log.h>

#include <cstdio>

namespace {

// Writes the record as it stands; the C stream's own lock keeps one record whole when several
// threads write.
void default_logger(void *stream, const char *format, va_list ap) {
  FILE *out = stream != nullptr ? static_cast<FILE *>(stream) : stderr;
  (void)vfprintf(out, format, ap);
}

}  // namespace

extern "C" {
KU_API ku_log_t ku_log_default = {sizeof(ku_log_t), "brome", "BROME_DEBUG", 0, 9, 0,
                                  default_logger,   nullptr};
}
