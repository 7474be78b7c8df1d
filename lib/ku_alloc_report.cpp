// SPDX-License-Identifier: MIT
// A readable dump of a home and its sub-homes, for debugging and for tests that want to show a
// table when a check fails.  It reads the tables under each home's internal lock, parent before
// child, and writes while it holds them, so the stream must not allocate in the reported homes.
#include "ku_alloc_impl.h"

#include <ku/ku.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

struct Totals {
  uint64_t entries = 0;
  uint64_t bytes = 0;
};

class Writer {
 public:
  explicit Writer(FILE *stream) noexcept : stream_(stream) {}

  // One line, indented two blanks per depth.  The first failing write is remembered; errno is
  // then what the stream left.
  __attribute__((format(printf, 3, 4))) void line(int depth, const char *format, ...) noexcept {
    if (failed_) return;
    if (fprintf(stream_, "%*s", 2 * depth, "") < 0) {
      failed_ = true;
      return;
    }
    va_list ap;
    va_start(ap, format);
    int rc = vfprintf(stream_, format, ap);
    va_end(ap);
    if (rc < 0 || fputc('\n', stream_) == EOF) failed_ = true;
  }

  bool failed() const noexcept { return failed_; }

 private:
  FILE *stream_;
  bool failed_ = false;
};

const char *plural(uint64_t n) noexcept { return n == 1 ? "entry" : "entries"; }

void report_stats(Writer &out, int depth, const ku_home_stats_t &s) noexcept {
  out.line(depth,
           "stats: alloc %llu (%llu bytes), free %llu (%llu bytes), live %llu (%llu bytes), "
           "carved %llu, carved freed %llu, sub-homes %u, resizes %u",
           static_cast<unsigned long long>(s.kst_alloc_count),
           static_cast<unsigned long long>(s.kst_alloc_bytes),
           static_cast<unsigned long long>(s.kst_free_count),
           static_cast<unsigned long long>(s.kst_free_bytes),
           static_cast<unsigned long long>(s.kst_live_count),
           static_cast<unsigned long long>(s.kst_live_bytes),
           static_cast<unsigned long long>(s.kst_alloc_preload),
           static_cast<unsigned long long>(s.kst_free_preload), s.kst_subhomes, s.kst_resizes);
}

bool is_preloaded(const ku_block_t *t, const void *p) noexcept {
  auto a = reinterpret_cast<uintptr_t>(p);
  auto start = reinterpret_cast<uintptr_t>(t->kub_preload);
  return t->kub_preload != nullptr && start <= a && a < start + t->kub_prsize;
}

// Writes one home at the given depth and adds its entries, sub-homes included, to tree.
void report_home(Writer &out, int depth, const ku_home_t *home, Totals &tree) noexcept {
  HomeLock lock(home);
  const ku_block_t *t = lock.table();
  if (t == nullptr) {
    out.line(depth, "home %p: size %d, no table", static_cast<const void *>(home), home->kuh_size);
    return;
  }
  char parent[40] = "";
  if (t->kub_parent != nullptr)
    snprintf(parent, sizeof parent, ", parent %p", static_cast<const void *>(t->kub_parent));
  out.line(depth, "home %p: size %d, refs %llu, %llu %s in %llu slots%s%s%s",
           static_cast<const void *>(home), home->kuh_size,
           static_cast<unsigned long long>(t->kub_ref),
           static_cast<unsigned long long>(t->kub_used), plural(t->kub_used),
           static_cast<unsigned long long>(t->kub_n), parent,
           home->kuh_lock != nullptr ? ", threadsafe" : "", t->kub_auto ? ", automatic" : "");
  if (t->kub_preload != nullptr)
    out.line(depth + 1, "preload: %u of %u bytes used", t->kub_prused, t->kub_prsize);

  Totals own;
  Totals below;
  bool has_subhomes = false;
  for (uint64_t i = 0; i < t->kub_n; ++i) {
    const ku_alloc_t &e = t->kub_nodes[i];
    if (e.kua_data == nullptr) continue;
    own.entries += 1;
    own.bytes += e.kua_size;
    if (e.kua_home) {
      has_subhomes = true;
      out.line(depth + 1, "%p: %u bytes, home", e.kua_data, static_cast<unsigned>(e.kua_size));
      report_home(out, depth + 2, static_cast<const ku_home_t *>(e.kua_data), below);
    } else {
      out.line(depth + 1, "%p: %u bytes%s", e.kua_data, static_cast<unsigned>(e.kua_size),
               is_preloaded(t, e.kua_data) ? ", preload" : "");
    }
  }
  if (has_subhomes)
    out.line(depth + 1, "total: %llu %s, %llu bytes; with sub-homes %llu %s, %llu bytes",
             static_cast<unsigned long long>(own.entries), plural(own.entries),
             static_cast<unsigned long long>(own.bytes),
             static_cast<unsigned long long>(own.entries + below.entries),
             plural(own.entries + below.entries),
             static_cast<unsigned long long>(own.bytes + below.bytes));
  else
    out.line(depth + 1, "total: %llu %s, %llu bytes", static_cast<unsigned long long>(own.entries),
             plural(own.entries), static_cast<unsigned long long>(own.bytes));
  if (t->kub_stats != nullptr) report_stats(out, depth + 1, *t->kub_stats);
  tree.entries += own.entries + below.entries;
  tree.bytes += own.bytes + below.bytes;
}

}  // namespace

extern "C" {

KU_API int ku_home_report(ku_home_t *home, FILE *stream) {
  if (stream == nullptr) return ku_seterrno(EFAULT);
  Writer out(stream);
  if (home == nullptr) {
    out.line(0, "home (null)");
  } else {
    Totals tree;
    report_home(out, 0, home, tree);
  }
  return out.failed() ? -1 : 0;
}

}  // extern "C"
