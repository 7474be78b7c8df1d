// SPDX-License-Identifier: MIT
// Error-number helpers: the calling thread's errno, read, set and described.
#include <ku/ku.h>

#include <cerrno>
#include <cstring>

extern "C" {

KU_API int ku_errno(void) { return errno; }

KU_API int ku_seterrno(int error) {
  errno = error;
  return -1;
}

KU_API const char *ku_strerror(int error) { return strerror(error); }

}  // extern "C"
