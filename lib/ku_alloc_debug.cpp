// SPDX-License-Identifier: MIT
// What helps a person find a leak or a misuse of homes: the list of live top-level homes and the
// report of those still alive at exit, both on only when the library's log asks for them, and
// the message about a block that is not the home's (the one about a home that has ended is inline,
// in ku_alloc_impl.h, as the lock guards call it from every file).
//
// The live list is kept only while the global log's level (KU_DEBUG) is kLeakLevel or more when
// a heap home is made; with it off, nothing is tracked and nothing is printed.  Its lock is the
// first of the library's order: the walk holds it while it reports homes (taking their locks),
// and the last ku_home_unref of a top-level home takes it before the home's lock once tracking
// has ever been on, so the walk never meets a home that is dying.
#include "ku_alloc_impl.h"
#include "ku_alloc_ptrmap.h"

#include <ku/ku.h>
#include <ku/ku_log.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// The level of the global log from which live homes are tracked and reported at exit.
constexpr unsigned kLeakLevel = 2;

pthread_mutex_t live_mutex = PTHREAD_MUTEX_INITIALIZER;
kui::PtrMap live;    // live top-level heap home -> the order in which it was made
uintptr_t made = 0;  // heap homes tracked so far
std::atomic<bool> tracking_started{false};

// Whether the global log passes records of kLeakLevel.  A log not yet initialised (ku_init not
// called) has no level yet: nothing is tracked.  Levels are set up before homes are shared.
bool tracking_wanted() {
  const ku_log_t &g = ku_log_global;
  if (g.log_init == 0) return false;
  return (g.log_init == 2 ? g.log_level : ku_log_default.log_level) >= kLeakLevel;
}

struct Live {
  uintptr_t order;
  ku_home_t *home;
};

// Calls visit on each listed home, oldest first, until it returns non-zero; returns how many it
// visited, or -1 with ENOMEM when there was no room to order them.  The caller holds live_mutex.
int visit_live(int (*visit)(ku_home_t *, void *), void *arg) {
  const size_t n = live.size();
  auto *all = static_cast<Live *>(malloc((n ? n : 1) * sizeof(Live)));
  if (!all) return ku_seterrno(ENOMEM);
  size_t k = 0;
  live.each([&](const void *home, uintptr_t order) {
    all[k++] = Live{order, static_cast<ku_home_t *>(const_cast<void *>(home))};
  });
  qsort(all, n, sizeof(Live), [](const void *a, const void *b) {
    const uintptr_t x = static_cast<const Live *>(a)->order,
                    y = static_cast<const Live *>(b)->order;
    return x < y ? -1 : x > y;
  });
  int count = 0;
  for (size_t i = 0; i < n; ++i) {
    ++count;
    if (visit(all[i].home, arg) != 0) break;
  }
  free(all);
  return count;
}

// Writes text on the global log at kLeakLevel, without a call-site prefix.
void log_text(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_text(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  _ku_vllog(&ku_log_global, kLeakLevel, __FILE__, __func__, __LINE__, format, ap);
  va_end(ap);
}

int report_one(ku_home_t *home, void *) {
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  if (!f) return 0;
  const int rc = ku_home_report(home, f);
  fclose(f);
  if (rc == 0) log_text("%s", text);
  free(text);
  return 0;
}

// The leak report: every top-level heap home still alive when the program ends (or the
// library is unloaded), on the global log.
[[gnu::destructor]] void report_at_exit() {
  if (!tracking_started.load(std::memory_order_acquire)) return;
  pthread_mutex_lock(&live_mutex);
  if (const size_t n = live.size()) {
    _ku_llog(&ku_log_global, kLeakLevel, __FILE__, __func__, __LINE__,
             "ku: %zu home%s still alive at exit\n", n, n == 1 ? "" : "s");
    visit_live(report_one, nullptr);
  }
  pthread_mutex_unlock(&live_mutex);
}

}  // namespace

void kui::live_fork_lock() noexcept { pthread_mutex_lock(&live_mutex); }
void kui::live_fork_unlock() noexcept { pthread_mutex_unlock(&live_mutex); }

// ---- Live homes ----

// Lists a new heap home when the log asks for it.  Without memory for the list, the home stays
// off it.
void kui::track_home(ku_home_t *home) noexcept {
  if (!tracking_wanted()) return;
  tracking_started.store(true, std::memory_order_release);
  pthread_mutex_lock(&live_mutex);
  uintptr_t old;
  if (live.put(home, ++made, &old)) home->kuh_blocks->kub_tracked = 1;
  pthread_mutex_unlock(&live_mutex);
}

kui::LiveLock::LiveLock() noexcept : held_(tracking_started.load(std::memory_order_acquire)) {
  if (held_) pthread_mutex_lock(&live_mutex);
}

void kui::LiveLock::forget(const ku_home_t *home, const ku_block_t *t) noexcept {
  if (held_ && t->kub_tracked) live.take(home);
}

void kui::LiveLock::release() noexcept {
  pthread_mutex_unlock(&live_mutex);
  held_ = false;
}

// ---- Misuse ----

void kui::foreign_block(const ku_home_t *home, const ku_block_t *t, const void *data,
                        const char *call) noexcept {
  const char *name = kui::name_of(home, t);
  char label[96] = "";
  if (name) snprintf(label, sizeof label, " \"%.80s\"", name);
  const auto at = reinterpret_cast<uintptr_t>(data);
  for (uint64_t i = 0; t && i < t->kub_n; ++i) {
    const ku_alloc_t &e = t->kub_nodes[i];
    const auto start = reinterpret_cast<uintptr_t>(e.kua_data);
    if (e.kua_data && start < at && at - start < e.kua_size) {
      fprintf(
          stderr,
          "%s: %p is not a block of home %p%s: it lies %zu bytes into its block %p of %u bytes\n",
          call, data, static_cast<const void *>(home), label, static_cast<size_t>(at - start),
          e.kua_data, static_cast<unsigned>(e.kua_size));
      return;
    }
  }
  fprintf(stderr,
          "%s: %p is not a block of home %p%s: freed twice, a block of another home, or an "
          "address inside a block\n",
          call, data, static_cast<const void *>(home), label);
}

// ---- Public calls ----

extern "C" KU_API int ku_home_walk_live(int (*visit)(ku_home_t *home, void *arg), void *arg) {
  if (!visit) return ku_seterrno(EFAULT);
  if (!tracking_started.load(std::memory_order_acquire)) return ku_seterrno(ENOTSUP);
  pthread_mutex_lock(&live_mutex);
  const int n = visit_live(visit, arg);
  pthread_mutex_unlock(&live_mutex);
  return n;
}
