// The default log, "brome", and its logger.  (Placeholder: filled in with the logging unit.)
#include <ku/ku_log.h>

extern "C" {
KU_API ku_log_t ku_log_default = {sizeof(ku_log_t), "brome", "BROME_DEBUG", 0, 9, 0, nullptr, nullptr};
}
