// SPDX-License-Identifier: MIT
// Differential fuzzer of the memory homes: the input is a sequence of operations on a handful
// of homes, each checked against the reference model of ku_alloc_model.h.
#include "ku_alloc_model.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  ku_alloc_model_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ku_alloc_model_run(data, size);
  return 0;
}
