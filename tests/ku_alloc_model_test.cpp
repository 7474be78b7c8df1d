// SPDX-License-Identifier: MIT
// The reference model of the homes (ku_alloc_model.h, which the allocator fuzzer drives) run
// over inputs made from fixed seeds, and over the fuzzer's seed corpus, so that every build
// checks the allocator against it without a fuzzing engine.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "ku_alloc_model.h"

#if defined(__SANITIZE_THREAD__)
#define KU_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KU_TEST_TSAN 1
#endif
#endif

#ifdef KU_TEST_TSAN
// The model runs on one thread and takes the user mutexes of several homes in whatever order its
// input says: no deadlock on one thread, but an order that ThreadSanitizer's lock graph reports.
// Its checks of data races stay on.
extern "C" const char *__tsan_default_options() { return "detect_deadlocks=0"; }
#endif

namespace {

// A small deterministic generator, so that a seed names the same input everywhere.
uint64_t next(uint64_t &s) {
  s += 0x9E3779B97F4A7C15u;
  uint64_t z = s;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

std::vector<uint8_t> input_of(uint64_t seed, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint8_t &b : bytes) b = static_cast<uint8_t>(next(seed) >> 56);
  return bytes;
}

class ModelTest : public testing::TestWithParam<uint64_t> {};

// A mismatch aborts with the model's last operations on stderr; run the seed again with
// KU_FUZZ_TRACE=1 to see them all.
TEST_P(ModelTest, random_operations_match_the_model) {
  ku_alloc_model_init();
  for (size_t size : {64u, 512u, 4096u, 16384u}) {
    const std::vector<uint8_t> in = input_of(GetParam() * 131 + size, size);
    ku_alloc_model_run(in.data(), in.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelTest, testing::Values(1u, 2u, 3u, 20240611u));

TEST(Model, fuzzer_seed_corpus_matches_the_model) {
  const std::filesystem::path dir =
      std::filesystem::path(KU_SOURCE_DIR) / "fuzz" / "corpus" / "ku_alloc_fuzz";
  int inputs = 0;
  for (const auto &file : std::filesystem::directory_iterator(dir)) {
    std::ifstream f(file.path(), std::ios::binary);
    const std::vector<uint8_t> in{std::istreambuf_iterator<char>(f), {}};
    SCOPED_TRACE(file.path().string());
    ku_alloc_model_run(in.data(), in.size());
    ++inputs;
  }
  EXPECT_GT(inputs, 0);
}

}  // namespace
