// SPDX-License-Identifier: MIT
// Library start-up and shutdown.
#include <ku/ku.h>
#include <ku/ku_log.h>

#include <csignal>

extern "C" {

KU_API int ku_init(void) {
  signal(SIGPIPE, SIG_IGN);
  ku_log_init(&ku_log_default);
  ku_log_init(&ku_log_global);
  return 0;
}

KU_API void ku_deinit(void) {}

KU_API const char *ku_version(void) { return KU_VERSION_STRING; }

}  // extern "C"
