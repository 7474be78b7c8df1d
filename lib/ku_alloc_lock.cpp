// Mutex hooks of thread-safe homes.  (Placeholder: filled in with the allocator.)
#include "ku_alloc_impl.h"
