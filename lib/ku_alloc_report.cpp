// SPDX-License-Identifier: MIT
// Reports of a home and its sub-homes for a person hunting a leak: the readable tree
// (ku_home_report) and the folded lines that flame-graph tools draw (ku_home_report_folded).
// Both read the tables under each home's internal lock, parent before child, and write while
// they hold them, so the stream must not allocate in the reported homes.  Trees are walked
// without recursion, so that a chain of any depth is reported.
#include "ku_alloc_slots.h"
#include "ku_alloc_walk.h"
#include "ku_alloc_track.h"

#include <ku/ku.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// ---- The readable tree ----

constexpr uint32_t kBlockShown = 24;  // bytes of a block shown
constexpr uint32_t kNameShown = 64;   // characters of a name shown

// The first bytes of a block as a C string literal: a block that starts with text (two
// characters at least, or all of the block but its NUL) shows the text up to its NUL; any other
// shows its first most bytes escaped, and "..." when bytes are left out.  The bytes are copied
// first and the copy marked known to memory checkers: a block's bytes may never have been
// written, which is no fault of the program's.
void preview(const void *data, uint32_t size, uint32_t most, char *out, size_t room) {
  unsigned char b[kNameShown + 1];
  const uint32_t n = size < most + 1 ? size : most + 1;
  memcpy(b, data, n);
  kui::mark_returned(b, n);
  uint32_t text = 0;
  while (text < n && b[text] != '\0' && (b[text] >= ' ' || b[text] == '\n' || b[text] == '\t'))
    ++text;
  const bool is_text = text < n && b[text] == '\0' && (text >= 2 || text + 1 == size);
  const uint32_t shown = is_text ? text : (n < most ? n : most);
  size_t k = 0;
  out[k++] = '"';
  for (uint32_t i = 0; i < shown && k + 6 < room; ++i) {
    const unsigned char c = b[i];
    if (c == '"' || c == '\\')
      k += static_cast<size_t>(snprintf(out + k, room - k, "\\%c", c));
    else if (c == '\n')
      k += static_cast<size_t>(snprintf(out + k, room - k, "\\n"));
    else if (c == '\t')
      k += static_cast<size_t>(snprintf(out + k, room - k, "\\t"));
    else if (c >= ' ' && c < 0x7F)
      out[k++] = static_cast<char>(c);
    else
      k += static_cast<size_t>(snprintf(out + k, room - k, "\\x%02x", c));
  }
  out[k++] = '"';
  if (!is_text && size > shown) k += static_cast<size_t>(snprintf(out + k, room - k, "..."));
  out[k] = '\0';
}

int by_address(const void *a, const void *b) {
  const auto x = reinterpret_cast<uintptr_t>(static_cast<const ku_alloc_t *>(a)->kua_data);
  const auto y = reinterpret_cast<uintptr_t>(static_cast<const ku_alloc_t *>(b)->kua_data);
  return x < y ? -1 : x > y;
}

// The sorted copies of the entries of every home on the path being written, one run after the
// other in one heap block: levels come and go last in, first out, so the block is a stack and a
// walk costs a few reallocations, not one allocation a home.
class EntryStack {
 public:
  EntryStack() noexcept = default;
  ~EntryStack() { free(buf_); }
  EntryStack(const EntryStack &) = delete;
  EntryStack &operator=(const EntryStack &) = delete;

  // Room for n more entries, at the returned offset; false when memory ran out.
  bool push(uint64_t n, uint64_t *at) noexcept {
    if (size_ + n > cap_) {
      const uint64_t cap = 2 * (size_ + n) + 32;
      void *p = realloc(buf_, cap * sizeof(ku_alloc_t));
      if (!p) return false;
      buf_ = static_cast<ku_alloc_t *>(p);
      cap_ = cap;
    }
    *at = size_;
    size_ += n;
    return true;
  }
  void pop_to(uint64_t at) noexcept { size_ = at; }
  ku_alloc_t *at(uint64_t i) noexcept { return buf_ + i; }

 private:
  ku_alloc_t *buf_ = nullptr;
  uint64_t size_ = 0;
  uint64_t cap_ = 0;
};

// One home of the tree being written, with its entries in address order.
struct Level {
  const ku_home_t *home;
  uint64_t first;  // where its sorted entries begin in the EntryStack
  uint64_t n;
  uint64_t next;  // the next entry to look at for a sub-home
  Totals own;
  Totals below;
  bool has_subhomes;
};

// The header of a home, its preload area, statistics and blocks; then its sub-homes follow.
void write_home(Writer &out, size_t depth, const Level &l, const ku_alloc_t *entries,
                const ku_block_t *t) {
  const ku_home_t *home = l.home;
  char name[4 * kNameShown + 8] = "";
  if (const char *given = kui::name_of(home, t)) {
    name[0] = ' ';
    const size_t len = strnlen(given, kNameShown);
    preview(given, static_cast<uint32_t>(len + 1), kNameShown, name + 1, sizeof name - 1);
  }
  char parent[40] = "";
  if (t->kub_parent != nullptr)
    snprintf(parent, sizeof parent, ", parent %p", static_cast<const void *>(t->kub_parent));
  char size[24] = "";
  if (home->kuh_size != static_cast<int>(sizeof(ku_home_t)))
    snprintf(size, sizeof size, ", size %d", home->kuh_size);
  out.line(depth, "home %p%s: %llu %s, %llu bytes, refs %llu%s%s%s%s",
           static_cast<const void *>(home), name, static_cast<unsigned long long>(l.own.entries),
           l.own.entries == 1 ? "block" : "blocks", static_cast<unsigned long long>(l.own.bytes),
           static_cast<unsigned long long>(t->kub_ref), size, parent,
           home->kuh_lock != nullptr ? ", threadsafe" : "", t->kub_auto ? ", automatic" : "");
  if (t->kub_preload != nullptr)
    out.line(depth + 1, "preload: %u of %u bytes used", t->kub_prused, t->kub_prsize);
  if (t->kub_stats != nullptr) report_stats(out, depth + 1, *t->kub_stats);
  for (uint64_t i = 0; i < l.n; ++i) {
    const ku_alloc_t &e = entries[i];
    if (e.kua_home) continue;
    char bytes[4 * kBlockShown + 8];
    preview(e.kua_data, e.kua_size, kBlockShown, bytes, sizeof bytes);
    out.line(depth + 1, "%p: %u bytes %s %s", e.kua_data, static_cast<unsigned>(e.kua_size),
             ku_is_preloaded(t, e.kua_data) ? "carved" : "heap", bytes);
  }
}

// Locks home and makes its level: false, with the lock released, when memory ran out.
bool enter(Writer &out, kui::FrameStack<Level> &stack, EntryStack &runs, const ku_home_t *home) {
  kui::lock_home(home, "ku_home_report");
  const ku_block_t *t = home->kuh_blocks;
  if (t == nullptr) {
    out.line(stack.size(), "home %p: size %d, no table", static_cast<const void *>(home),
             home->kuh_size);
    kui::unlock_home(home);
    return true;
  }
  uint64_t first;
  Level *l = runs.push(t->kub_used, &first) ? stack.push() : nullptr;
  if (!l) {
    kui::unlock_home(home);
    return false;
  }
  *l = Level{home, first, 0, 0, {}, {}, false};
  ku_alloc_t *entries = runs.at(first);
  for (uint64_t i = 0; i < t->kub_n && l->n < t->kub_used; ++i) {
    const ku_alloc_t &e = t->kub_nodes[i];
    if (!e.kua_data) continue;
    entries[l->n++] = e;
    l->own.entries += 1;
    l->own.bytes += e.kua_size;
    l->has_subhomes |= e.kua_home;
  }
  if (l->n > 1) qsort(entries, l->n, sizeof(ku_alloc_t), by_address);
  write_home(out, stack.size() - 1, *l, entries, t);
  return true;
}

// Writes the tree of top, each home's sub-homes in address order after its own blocks.  False,
// with every lock released, when memory ran out.
bool write_tree(Writer &out, const ku_home_t *top) {
  kui::FrameStack<Level> stack;
  EntryStack runs;
  if (!enter(out, stack, runs, top)) return false;
  while (!stack.empty()) {
    Level &l = stack.top();
    const ku_home_t *sub = nullptr;
    while (!sub && l.next < l.n) {
      const ku_alloc_t &e = *runs.at(l.first + l.next++);
      if (e.kua_home) sub = static_cast<const ku_home_t *>(e.kua_data);
    }
    if (sub) {
      if (enter(out, stack, runs, sub)) continue;
      for (; !stack.empty(); stack.pop()) kui::unlock_home(stack.top().home);
      return false;
    }
    const size_t depth = stack.size() - 1;
    const Totals all{l.own.entries + l.below.entries, l.own.bytes + l.below.bytes};
    if (l.has_subhomes)
      out.line(depth + 1, "with sub-homes: %llu %s, %llu bytes",
               static_cast<unsigned long long>(all.entries), all.entries == 1 ? "block" : "blocks",
               static_cast<unsigned long long>(all.bytes));
    if (Level *parent = stack.under_top()) {
      parent->below.entries += all.entries;
      parent->below.bytes += all.bytes;
    }
    runs.pop_to(l.first);
    kui::unlock_home(l.home);
    stack.pop();
  }
  return true;
}

// ---- Folded lines ----

// One line per home that holds blocks: the names from the top home down to it, joined by ';',
// a blank, and the bytes of its own blocks (a sub-home's record counts as its own).  Unnamed
// homes are "(unnamed)", so that homes of one kind add up under one frame; ';' in a name
// becomes ':'.
class Folded {
 public:
  struct Level {
    size_t mark;  // the length of the path before this home's frame
    uint64_t bytes;
  };

  explicit Folded(Writer &out) noexcept : out_(out) {}
  ~Folded() { free(path_); }
  Folded(const Folded &) = delete;
  Folded &operator=(const Folded &) = delete;

  void enter(const ku_home_t *home, const ku_block_t *t, size_t depth, Level &level) noexcept {
    level.mark = len_;
    level.bytes = depth > 0 ? static_cast<uint32_t>(home->kuh_size) : 0;
    const char *name = kui::name_of(home, t);
    if (depth > 0) append(";", 1);
    if (!name) name = "(unnamed)";
    const size_t at = len_;
    append(name, strlen(name));
    for (size_t i = at; i < len_ && path_; ++i)
      if (path_[i] == ';' || path_[i] == '\n') path_[i] = ':';
  }
  void entry(const ku_block_t *, const ku_alloc_t &e, size_t, Level &level) noexcept {
    if (!e.kua_home) level.bytes += e.kua_size;
  }
  void leave(const ku_home_t *, const ku_block_t *, size_t, const Level &level, Level *) noexcept {
    if (level.bytes)
      out_.line(0, "%s %llu", path_ && !failed_ ? path_ : "(no memory)",
                static_cast<unsigned long long>(level.bytes));
    len_ = level.mark;
    if (path_) path_[len_] = '\0';
  }
  bool failed() const noexcept { return failed_; }

 private:
  void append(const char *s, size_t n) noexcept {
    if (len_ + n + 1 > cap_) {
      const size_t cap = 2 * (len_ + n + 1) + 64;
      char *p = static_cast<char *>(realloc(path_, cap));
      if (!p) {
        failed_ = true;
        return;
      }
      path_ = p;
      cap_ = cap;
    }
    memcpy(path_ + len_, s, n);
    len_ += n;
    path_[len_] = '\0';
  }

  Writer &out_;
  char *path_ = nullptr;
  size_t len_ = 0;
  size_t cap_ = 0;
  bool failed_ = false;
};

}  // namespace

extern "C" {

KU_API int ku_home_report(ku_home_t *home, FILE *stream) {
  if (stream == nullptr) return ku_seterrno(EFAULT);
  Writer out(stream);
  if (home == nullptr)
    out.line(0, "home (null)");
  else if (!write_tree(out, home))
    return ku_seterrno(ENOMEM);
  return out.finish() ? 0 : -1;
}

KU_API int ku_home_report_folded(ku_home_t *home, FILE *stream) {
  if (stream == nullptr) return ku_seterrno(EFAULT);
  Writer out(stream);
  if (home != nullptr) {
    Folded folded(out);
    if (!kui::walk_homes(home, folded) || folded.failed()) return ku_seterrno(ENOMEM);
  }
  return out.finish() ? 0 : -1;
}

}  // extern "C"
