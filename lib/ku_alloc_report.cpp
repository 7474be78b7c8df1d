// SPDX-License-Identifier: MIT
// A readable dump of a home and its sub-homes, for debugging and for tests that want to show a
// table when a check fails.  It reads the tables under each home's internal lock, parent before
// child, and writes while it holds them, so the stream must not allocate in the reported homes.
// The tree is walked without recursion (walk_homes), so that a chain of any depth is reported.
#include "ku_alloc_slots.h"

#include <ku/ku.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

struct Totals {
  uint64_t entries = 0;
  uint64_t bytes = 0;
};

// Indentation stops growing at this depth, so that a deep chain costs a bounded line each.
constexpr size_t kMaxIndent = 40;

class Writer {
 public:
  explicit Writer(FILE *stream) noexcept : stream_(stream) {}

  // One line, indented two blanks per depth; deeper than kMaxIndent, indented as that and
  // headed by the depth in brackets.  The first failing write is remembered; errno is then what
  // the stream left.
  __attribute__((format(printf, 3, 4))) void line(size_t depth, const char *format, ...) noexcept {
    if (failed_) return;
    const int indent = static_cast<int>(2 * (depth < kMaxIndent ? depth : kMaxIndent));
    const int head = depth <= kMaxIndent ? fprintf(stream_, "%*s", indent, "")
                                         : fprintf(stream_, "%*s[%zu] ", indent, "", depth);
    if (head < 0) {
      failed_ = true;
      return;
    }
    va_list ap;
    va_start(ap, format);
    int rc = vfprintf(stream_, format, ap);
    va_end(ap);
    if (rc < 0 || fputc('\n', stream_) == EOF) failed_ = true;
  }

  // A buffered stream may hold the whole report: it is written out here so that a failure
  // shows in the result and not only at the caller's fclose().
  bool finish() noexcept {
    if (!failed_ && fflush(stream_) == EOF) failed_ = true;
    return !failed_;
  }

 private:
  FILE *stream_;
  bool failed_ = false;
};

const char *plural(uint64_t n) noexcept { return n == 1 ? "entry" : "entries"; }

void report_stats(Writer &out, size_t depth, const ku_home_stats_t &s) noexcept {
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

// Writes each home of a tree (walk_homes): a home of walk depth k at depth 2k, its entries at
// 2k + 1, each sub-home's own lines right behind its entry.
class Report {
 public:
  struct Level {
    Totals own;
    Totals below;  // the entries of its sub-homes' trees
    bool has_subhomes;
  };

  explicit Report(Writer &out) noexcept : out_(out) {}

  void enter(const ku_home_t *home, const ku_block_t *t, size_t depth, Level &) noexcept {
    if (t == nullptr) {
      out_.line(2 * depth, "home %p: size %d, no table", static_cast<const void *>(home),
                home->kuh_size);
      return;
    }
    char parent[40] = "";
    if (t->kub_parent != nullptr)
      snprintf(parent, sizeof parent, ", parent %p", static_cast<const void *>(t->kub_parent));
    out_.line(2 * depth, "home %p: size %d, refs %llu, %llu %s in %llu slots%s%s%s",
              static_cast<const void *>(home), home->kuh_size,
              static_cast<unsigned long long>(t->kub_ref),
              static_cast<unsigned long long>(t->kub_used), plural(t->kub_used),
              static_cast<unsigned long long>(t->kub_n), parent,
              home->kuh_lock != nullptr ? ", threadsafe" : "", t->kub_auto ? ", automatic" : "");
    if (t->kub_preload != nullptr)
      out_.line(2 * depth + 1, "preload: %u of %u bytes used", t->kub_prused, t->kub_prsize);
  }

  void entry(const ku_block_t *t, const ku_alloc_t &e, size_t depth, Level &level) noexcept {
    level.own.entries += 1;
    level.own.bytes += e.kua_size;
    if (e.kua_home) {
      level.has_subhomes = true;
      out_.line(2 * depth + 1, "%p: %u bytes, home", e.kua_data, static_cast<unsigned>(e.kua_size));
    } else {
      out_.line(2 * depth + 1, "%p: %u bytes%s", e.kua_data, static_cast<unsigned>(e.kua_size),
                ku_is_preloaded(t, e.kua_data) ? ", preload" : "");
    }
  }

  void leave(const ku_home_t *, const ku_block_t *t, size_t depth, const Level &level,
             Level *parent) noexcept {
    if (t == nullptr) return;
    const Totals &own = level.own, &below = level.below;
    if (level.has_subhomes)
      out_.line(2 * depth + 1, "total: %llu %s, %llu bytes; with sub-homes %llu %s, %llu bytes",
                static_cast<unsigned long long>(own.entries), plural(own.entries),
                static_cast<unsigned long long>(own.bytes),
                static_cast<unsigned long long>(own.entries + below.entries),
                plural(own.entries + below.entries),
                static_cast<unsigned long long>(own.bytes + below.bytes));
    else
      out_.line(2 * depth + 1, "total: %llu %s, %llu bytes",
                static_cast<unsigned long long>(own.entries), plural(own.entries),
                static_cast<unsigned long long>(own.bytes));
    if (t->kub_stats != nullptr) report_stats(out_, 2 * depth + 1, *t->kub_stats);
    if (parent != nullptr) {
      parent->below.entries += own.entries + below.entries;
      parent->below.bytes += own.bytes + below.bytes;
    }
  }

 private:
  Writer &out_;
};

}  // namespace

extern "C" {

KU_API int ku_home_report(ku_home_t *home, FILE *stream) {
  if (stream == nullptr) return ku_seterrno(EFAULT);
  Writer out(stream);
  if (home == nullptr) {
    out.line(0, "home (null)");
  } else {
    Report report(out);
    if (!walk_homes(home, report)) return ku_seterrno(ENOMEM);
  }
  return out.finish() ? 0 : -1;
}

}  // extern "C"
