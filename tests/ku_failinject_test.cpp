// SPDX-License-Identifier: MIT
// Allocation-failure sweep: every public operation that allocates is run again and again, with
// the 1st, 2nd, 3rd ... call to malloc, calloc or realloc failing, until it runs without meeting
// a failure.  After each injected failure the call must report it (null or -1, errno ENOMEM),
// the homes must still pass their checks with every earlier allocation intact and freeable, and
// nothing may leak.
//
// The C library's allocator is interposed for the whole process (the executable's definitions
// win over the C library's), forwarding to its internal entry points.  That cannot coexist with
// a sanitizer's own interposition, so the sweep only runs in builds without one.

#include <gtest/gtest.h>

#include <ku/ku.h>
#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>
#include <ku/ku_log.h>

#include "ku_alloc_impl.h"

#include <netdb.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define KU_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KU_SANITIZED 1
#endif

#ifndef KU_SANITIZED

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace {

// Addresses handed out while tracking is on; a free removes its address.  Open addressing with
// backward-shift deletion, in static storage so that it never allocates itself.
constexpr size_t kTrackSlots = 1 << 16;
uintptr_t tracked[kTrackSlots];
size_t tracked_count;

size_t slot_of(uintptr_t p) { return (p >> 4) * 0x9E3779B97F4A7C15ull >> 48; }

void track(void *ptr) {
  auto p = reinterpret_cast<uintptr_t>(ptr);
  size_t i = slot_of(p);
  while (tracked[i] != 0) i = (i + 1) % kTrackSlots;
  tracked[i] = p;
  ++tracked_count;
}

void untrack(void *ptr) {
  auto p = reinterpret_cast<uintptr_t>(ptr);
  size_t i = slot_of(p);
  while (tracked[i] != 0 && tracked[i] != p) i = (i + 1) % kTrackSlots;
  if (tracked[i] == 0) return;
  tracked[i] = 0;
  --tracked_count;
  for (size_t j = (i + 1) % kTrackSlots; tracked[j] != 0; j = (j + 1) % kTrackSlots) {
    uintptr_t q = tracked[j];
    size_t home = slot_of(q);
    // Move q back into the hole unless its home slot lies cyclically in (i, j].
    bool stays = (i <= j) ? (home > i && home <= j) : (home > i || home <= j);
    if (!stays) {
      tracked[i] = q;
      tracked[j] = 0;
      i = j;
    }
  }
}

struct Injector {
  bool tracking = false;
  bool armed = false;
  long calls = 0;    // allocation calls seen while armed
  long fail_at = 0;  // which of them fails (1-based)
  bool failed = false;
};
Injector inj;

bool fail_now() {
  if (!inj.armed) return false;
  if (++inj.calls != inj.fail_at) return false;
  inj.failed = true;
  errno = ENOMEM;
  return true;
}

}  // namespace

extern "C" {

void *malloc(size_t n) {
  if (fail_now()) return nullptr;
  void *p = __libc_malloc(n);
  if (p != nullptr && inj.tracking) track(p);
  return p;
}

void *calloc(size_t n, size_t size) {
  if (fail_now()) return nullptr;
  void *p = __libc_calloc(n, size);
  if (p != nullptr && inj.tracking) track(p);
  return p;
}

void *realloc(void *old, size_t n) {
  if (old != nullptr && n == 0) {
    untrack(old);
    return __libc_realloc(old, 0);
  }
  if (fail_now()) return nullptr;
  void *p = __libc_realloc(old, n);
  if (p != nullptr) {
    if (old != nullptr) untrack(old);
    if (inj.tracking) track(p);
  }
  return p;
}

void free(void *p) {
  if (p == nullptr) return;
  untrack(p);
  __libc_free(p);
}

// The homes take their larger tables from pages of their own; a refused mapping is one more
// way for memory to run out.
void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset) {
  if ((flags & MAP_ANONYMOUS) != 0 && fail_now()) return MAP_FAILED;
  return reinterpret_cast<void *>(syscall(SYS_mmap, addr, len, prot, flags, fd, offset));
}

}  // extern "C"

namespace {

int g_failure_points = 0;

class FailureSweep : public ::testing::Test {
 protected:
  void SetUp() override { g_failure_points = 0; }
  // Printed so the number of distinct failure points can be followed from run to run.
  void TearDown() override {
    std::printf("[ failpoints ] %s: %d\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), g_failure_points);
  }
};

// One operation under the sweep.  setup() builds the world with tracking on but no failures,
// op() is the call under test and says whether it reported success, check() verifies the world
// after op() (told whether an injected failure was met), teardown() ends everything.
struct Scenario {
  std::function<void()> setup;
  std::function<bool()> op;
  std::function<void(bool failed)> check;
  std::function<void()> teardown;
  // The operation may absorb an injected failure and still succeed (stdio falls back to an
  // unbuffered stream when it cannot allocate a buffer).
  bool absorbs = false;
};

void sweep(const char *name, const Scenario &s) {
  for (long n = 1; n < 200; ++n) {
    SCOPED_TRACE(std::string(name) + ": failing allocation call #" + std::to_string(n));
    ASSERT_EQ(tracked_count, 0u) << "blocks left over before the run";
    inj = Injector{};
    inj.tracking = true;
    s.setup();
    inj.fail_at = n;
    inj.calls = 0;
    errno = 0;
    inj.armed = true;
    bool ok = s.op();
    int err = errno;
    inj.armed = false;
    bool failed = inj.failed;
    if (failed) {
      ++g_failure_points;
      if (!s.absorbs || !ok) {
        EXPECT_FALSE(ok) << "an injected failure was reported as success";
        EXPECT_EQ(err, ENOMEM);
      }
    } else {
      EXPECT_TRUE(ok) << "the operation failed without an injected failure";
    }
    s.check(failed);
    s.teardown();
    kui::pool_give_back_spares();  // tables and areas kept for reuse are not leaks
    inj.tracking = false;
    EXPECT_EQ(tracked_count, 0u) << "leaked blocks";
    // Forget whatever leaked, so the next run starts clean.
    std::memset(tracked, 0, sizeof tracked);
    tracked_count = 0;
    if (!failed) return;
  }
  ADD_FAILURE() << name << ": still failing after 200 injected failures";
}

// A home with a few earlier allocations, each filled with its own pattern, to prove that a
// failed call leaves everything it did not own intact.
struct World {
  ku_home_t *home = nullptr;
  std::vector<std::pair<unsigned char *, int>> blocks;

  void make(int earlier, bool stats = false) {
    home = ku_home_create();
    ASSERT_NE(home, nullptr);
    if (stats) ku_home_init_stats(home);
    blocks.clear();
    for (int i = 0; i < earlier; ++i) add(16 + 8 * (i % 5));
  }
  void add(int size) {
    auto *p = static_cast<unsigned char *>(ku_alloc(home, size));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x30 + static_cast<int>(blocks.size() % 64), static_cast<size_t>(size));
    blocks.emplace_back(p, size);
  }
  void verify() const {
    ku_home_check(home);
    for (size_t i = 0; i < blocks.size(); ++i) {
      auto [p, size] = blocks[i];
      ASSERT_EQ(ku_in_home(home, p), 1) << "block " << i << " lost";
      for (int b = 0; b < size; ++b)
        ASSERT_EQ(p[b], 0x30 + static_cast<int>(i % 64)) << "block " << i << " corrupted";
    }
  }
  // Frees the earlier blocks one by one (they must still be freeable), then ends the home.
  void end() {
    for (auto [p, size] : blocks) ku_free(home, p);
    std::vector<std::pair<unsigned char *, int>>().swap(blocks);  // the sweep counts its memory too
    EXPECT_EQ(ku_home_unref(home), 1);
    home = nullptr;
  }
};

World w;
void *result;

uint64_t live_count(ku_home_t *home) {
  ku_home_stats_t st;
  ku_home_get_stats(home, 0, &st, sizeof st);
  return st.kst_live_count;
}

TEST_F(FailureSweep, allocation_calls) {
  using Alloc = void *(*)(ku_home_t *, int);
  const std::pair<const char *, Alloc> calls[] = {
      {"ku_alloc", ku_alloc}, {"ku_zalloc", ku_zalloc}, {"ku_salloc", ku_salloc}};
  for (const auto &call : calls) {
    const char *name = call.first;
    Alloc fn = call.second;
    // 3 earlier blocks: no growth; 21: the call must first grow the table.
    for (int earlier : {3, 21}) {
      sweep(name,
            {[&] { w.make(earlier, true); }, [&] { return (result = fn(w.home, 100)) != nullptr; },
             [&](bool failed) {
               w.verify();
               EXPECT_EQ(live_count(w.home), w.blocks.size() + (failed ? 0 : 1));
               if (!failed) {
                 EXPECT_EQ(ku_in_home(w.home, result), 1);
               }
             },
             [&] {
               if (result != nullptr) ku_free(w.home, result);
               w.end();
             }});
    }
  }
}

TEST_F(FailureSweep, realloc_of_heap_and_carved_blocks) {
  // realloc of null allocates, here growing a full table first.
  sweep("ku_realloc of null",
        {[&] { w.make(21, true); },
         [&] { return (result = ku_realloc(w.home, nullptr, 40)) != nullptr; },
         [&](bool failed) {
           w.verify();
           EXPECT_EQ(live_count(w.home), w.blocks.size() + (failed ? 0 : 1));
         },
         [&] { w.end(); }});
  // A heap block that grows: on failure the old block stays valid, recorded and unchanged.
  void *data = nullptr;
  sweep("ku_realloc heap", {[&] {
                              w.make(4, true);
                              data = ku_alloc(w.home, 32);
                              std::memset(data, 0x5A, 32);
                            },
                            [&] { return (result = ku_realloc(w.home, data, 4000)) != nullptr; },
                            [&](bool failed) {
                              w.verify();
                              void *now = failed ? data : result;
                              EXPECT_EQ(ku_in_home(w.home, now), 1);
                              for (int i = 0; i < 32; ++i)
                                ASSERT_EQ(static_cast<unsigned char *>(now)[i], 0x5A);
                              data = now;
                            },
                            [&] {
                              ku_free(w.home, data);
                              w.end();
                            }});
  // A carved block that no longer fits its preload area moves to the heap.
  sweep("ku_realloc carved", {[&] {
                                w.make(2, true);
                                ku_home_preload(w.home, 4, 16);
                                data = ku_alloc(w.home, 16);
                                std::memset(data, 0x6B, 16);
                              },
                              [&] { return (result = ku_realloc(w.home, data, 500)) != nullptr; },
                              [&](bool failed) {
                                w.verify();
                                void *now = failed ? data : result;
                                EXPECT_EQ(ku_in_home(w.home, now), 1);
                                for (int i = 0; i < 16; ++i)
                                  ASSERT_EQ(static_cast<unsigned char *>(now)[i], 0x6B);
                                data = now;
                              },
                              [&] {
                                ku_free(w.home, data);
                                w.end();
                              }});
}

TEST_F(FailureSweep, making_homes) {
  sweep("ku_home_new", {[] {}, [] { return (result = ku_home_new(64)) != nullptr; },
                        [](bool failed) {
                          if (!failed) {
                            EXPECT_EQ(ku_home_refcount(static_cast<ku_home_t *>(result)), 1u);
                          }
                        },
                        [] {
                          if (result != nullptr) ku_home_unref(static_cast<ku_home_t *>(result));
                        }});
  sweep("ku_home_create",
        {[] {}, [] { return (result = ku_home_create()) != nullptr; }, [](bool) {},
         [] {
           if (result != nullptr) ku_home_unref(static_cast<ku_home_t *>(result));
         }});
  static ku_home_t record;
  sweep("ku_home_init",
        {[] { std::memset(&record, 0, sizeof record); }, [] { return ku_home_init(&record) == 0; },
         [](bool failed) { EXPECT_EQ(record.kuh_blocks == nullptr, failed); },
         [] { ku_home_deinit(&record); }});
  sweep("ku_home_clone of a parent",
        {[] { w.make(5, true); }, [] { return (result = ku_home_clone(w.home, 48)) != nullptr; },
         [](bool failed) {
           w.verify();
           EXPECT_EQ(ku_in_home(w.home, result), failed ? 0 : 1);
           EXPECT_EQ(live_count(w.home), w.blocks.size() + (failed ? 0 : 1));
           if (!failed) {
             auto *sub = static_cast<ku_home_t *>(result);
             EXPECT_EQ(ku_home_parent(sub), w.home);
             EXPECT_NE(ku_alloc(sub, 10), nullptr);
           }
         },
         [] { w.end(); }});
  // A parent whose table is full: the table, the record and the sub-home's table can each fail.
  sweep("ku_home_clone growing its parent",
        {[] { w.make(21, true); }, [] { return (result = ku_home_clone(w.home, 64)) != nullptr; },
         [](bool failed) {
           w.verify();
           EXPECT_EQ(live_count(w.home), w.blocks.size() + (failed ? 0 : 1));
         },
         [] { w.end(); }});
  sweep("ku_home_clone without parent",
        {[] {}, [] { return (result = ku_home_clone(nullptr, 32)) != nullptr; }, [](bool) {},
         [] {
           if (result != nullptr) ku_home_unref(static_cast<ku_home_t *>(result));
         }});
}

TEST_F(FailureSweep, move_preload_stats_threadsafe_auto) {
  static ku_home_t *src;
  static std::vector<void *> moved;
  static int destructor_runs;
  sweep("ku_home_move", {[] {
                           w.make(3);
                           src = ku_home_create();
                           moved.clear();
                           destructor_runs = 0;
                           ku_home_destructor(src, [](void *) { ++destructor_runs; });
                           for (int i = 0; i < 30; ++i) moved.push_back(ku_alloc(src, 8 + i));
                         },
                         [] { return ku_home_move(w.home, src) == 0; },
                         [](bool failed) {
                           w.verify();
                           ku_home_check(src);
                           EXPECT_EQ(destructor_runs, 1);
                           // A destination that cannot grow receives nothing.
                           for (void *p : moved) {
                             EXPECT_EQ(ku_in_home(src, p), failed ? 1 : 0);
                             EXPECT_EQ(ku_in_home(w.home, p), failed ? 0 : 1);
                           }
                           for (void *p : moved) ku_free(failed ? src : w.home, p);
                         },
                         [] {
                           ku_home_unref(src);
                           std::vector<void *>().swap(moved);
                           w.end();
                         }});

  static ku_home_t zero;
  sweep("ku_home_preload", {[] { w.make(2, true); },
                            [] {
                              ku_home_preload(w.home, 4, 16);
                              // Success means the next small allocation is carved.
                              ku_home_stats_t st;
                              void *p = ku_alloc(w.home, 8);
                              ku_home_get_stats(w.home, 0, &st, sizeof st);
                              if (p != nullptr) ku_free(w.home, p);
                              return st.kst_alloc_preload == 1;
                            },
                            [](bool) { w.verify(); }, [] { w.end(); }});
  sweep("ku_home_preload on a home without table",
        {[] { std::memset(&zero, 0, sizeof zero); },
         [] {
           ku_home_preload(&zero, 2, 8);
           return zero.kuh_blocks != nullptr && zero.kuh_blocks->kub_preload != nullptr;
         },
         [](bool failed) {
           if (failed && zero.kuh_blocks == nullptr) {
             EXPECT_EQ(zero.kuh_lock, nullptr);
           }
         },
         [] { ku_home_deinit(&zero); }});
  static ku_home_t *sub;
  sweep("allocation in a sub-home of a thread-safe home",
        {[] {
           w.make(2);
           ASSERT_EQ(ku_home_threadsafe(w.home), 0);
           sub = static_cast<ku_home_t *>(ku_home_clone(w.home, 32));
           for (int i = 0; i < 21; ++i) ku_alloc(sub, 24);
         },
         [] { return (result = ku_alloc(sub, 24)) != nullptr; },
         [](bool failed) {
           w.verify();
           ku_home_check(sub);
           EXPECT_EQ(ku_in_home(sub, result), failed ? 0 : 1);
         },
         [] { w.end(); }});
  static FILE *report;
  sweep("ku_home_report", {[] {
                             w.make(3, true);
                             ku_home_clone(w.home, 40);
                             report = tmpfile();
                           },
                           [] {
                             // Writing a report to a stream may allocate the stream's buffer.
                             bool ok = ku_home_report(w.home, report) == 0;
                             if (!ok && inj.failed) errno = ENOMEM;
                             return ok;
                           },
                           [](bool) { w.verify(); },
                           [] {
                             fclose(report);
                             w.end();
                           },
                           true});
  sweep("ku_home_init_stats", {[] { w.make(3); },
                               [] {
                                 ku_home_init_stats(w.home);
                                 ku_home_stats_t st;
                                 ku_home_get_stats(w.home, 0, &st, sizeof st);
                                 return st.kst_size == sizeof st;
                               },
                               [](bool) { w.verify(); }, [] { w.end(); }});
  sweep("ku_home_threadsafe", {[] { w.make(3); }, [] { return ku_home_threadsafe(w.home) == 0; },
                               [](bool failed) {
                                 EXPECT_EQ(ku_home_is_threadsafe(w.home), failed ? 0 : 1);
                                 w.verify();
                               },
                               [] { w.end(); }});
  alignas(16) static unsigned char area[512];
  static ku_home_t *autoh;
  static std::vector<void *> autoblocks;
  sweep("automatic home outgrowing its buffer",
        {[] {
           autoh = ku_home_auto(area, sizeof area);
           autoblocks.clear();
           for (int i = 0; i < 5; ++i) autoblocks.push_back(ku_alloc(autoh, 16));
         },
         [] { return (result = ku_alloc(autoh, 400)) != nullptr; },
         [](bool failed) {
           ku_home_check(autoh);
           for (void *p : autoblocks) EXPECT_EQ(ku_in_home(autoh, p), 1);
           EXPECT_EQ(ku_in_home(autoh, result), failed ? 0 : 1);
         },
         [] {
           ku_home_deinit(autoh);
           std::vector<void *>().swap(autoblocks);
         }});
}

// Trees deeper than the 16 frames the walks keep beside them take the rest from the heap.
// Without them, ending still ends everything (a level takes its parent's frame), the report
// fails with ENOMEM.  Thread-safe levels show that every lock is released on each path.
TEST_F(FailureSweep, walks_of_deep_trees) {
  static ku_home_t *top;
  static int ended;
  static FILE *out;
  static auto build = [] {
    ended = 0;
    ku_home_t *h = top = ku_home_create();
    for (int i = 0; i < 100; ++i) {
      ku_home_threadsafe(h);
      ku_home_destructor(h, [](void *) { ++ended; });
      for (int k = 0; k < 3; ++k) ku_alloc(static_cast<ku_home_t *>(ku_home_clone(h, 24)), 8);
      h = static_cast<ku_home_t *>(ku_home_clone(h, 24));
    }
  };
  sweep("ending",
        {build, [] { return ku_home_unref(top) == 1 && ended == 100; }, [](bool) {}, [] {}, true});
  sweep("checking and reporting", {[] {
                                     build();
                                     out = tmpfile();
                                   },
                                   [] {
                                     ku_home_check(top);
                                     return ku_home_report(top, out) == 0;
                                   },
                                   [](bool) { ku_home_check(top); },
                                   [] {
                                     fclose(out);
                                     ku_home_unref(top);
                                   },
                                   true});
}

TEST_F(FailureSweep, logging_and_lookup) {
  static FILE *sink;
  sweep("_ku_llog to a stream", {[] {
                                   sink = tmpfile();
                                   ku_log_redirect(&ku_log_global, nullptr, nullptr);
                                   ku_log_set_level(&ku_log_global, 5);
                                   ku_log_default.log_stream = sink;
                                 },
                                 [] {
                                   _ku_llog(&ku_log_global, 1, "x.c", "f", 1, "value %d %s\n", 42,
                                            "text");
                                   ku_perror2("open", ENOENT);
                                   // Logging has no error results: a record lost to a full heap is
                                   // dropped, and the sweep only asks that nothing crashes or
                                   // leaks.
                                   if (inj.failed) errno = ENOMEM;
                                   return !inj.failed;
                                 },
                                 [](bool) {},
                                 [] {
                                   ku_log_default.log_stream = nullptr;
                                   fclose(sink);
                                 }});

  // The resolver's own first use loads its configuration for good: do it outside the sweep.
  struct addrinfo hints {};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  static struct addrinfo *res;
  ASSERT_EQ(ku_getaddrinfo("127.0.0.1", "80", &hints, &res), 0);
  ku_freeaddrinfo(res);
  static int code;
  sweep("ku_getaddrinfo", {[] { res = nullptr; },
                           [&] {
                             code = ku_getaddrinfo("127.0.0.1", "80", &hints, &res);
                             if (code != 0)
                               errno = ENOMEM;  // the resolver reports through its code
                             return code == 0;
                           },
                           [](bool failed) {
                             if (failed) {
                               EXPECT_NE(code, 0);
                               EXPECT_EQ(res, nullptr);
                             } else {
                               ASSERT_NE(res, nullptr);
                               EXPECT_EQ(res->ai_protocol, 6);
                             }
                           },
                           [] {
                             if (res != nullptr) ku_freeaddrinfo(res);
                           }});
}

}  // namespace

#else

TEST(FailureSweep, needs_a_build_without_sanitizers) {
  GTEST_SKIP() << "the allocator interposition conflicts with the sanitizer's";
}

#endif
