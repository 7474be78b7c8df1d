// Log operations.  (Placeholder: filled in with the logging unit.)
#include <ku/ku_log.h>

extern "C" {
KU_API void ku_log_init(ku_log_t *) {}
}
