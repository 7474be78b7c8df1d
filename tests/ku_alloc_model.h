// SPDX-License-Identifier: MIT
// The reference model of the memory homes, driven by the allocator fuzzer
// (fuzz/ku_alloc_fuzz.cpp) and by a ctest run of it with fixed seeds
// (tests/ku_alloc_model_test.cpp).
// Include it in one file per program: its names are that file's own.
//
// The input is read as a sequence of operations on a handful of homes: a caller's record, an
// automatic home laid into a static buffer, heap homes, and sub-homes cloned from any of them
// (detached sub-homes become heap homes of their own).  A reference model predicts the outcome
// of each operation: its result and error number, whether a block is carved from a preload area
// and at which address, when and how far a block table grows, reference counts, parents,
// destructor calls and every statistics counter.  After each step the homes are compared with
// the model: each block must be found in its home and in no other, must still hold the pattern
// written into it (through resizes and moves), and each table header must agree.  At the end
// of each input every home is ended and every detached block freed, so LeakSanitizer reports
// whatever the allocator lost.  The model never asks for an operation whose precondition would
// abort the process.
//
// Run one input with KU_FUZZ_TRACE=1 to print the operations as they run; a failed check
// prints the last ones and aborts.
#ifndef KU_ALLOC_MODEL_H
#define KU_ALLOC_MODEL_H

#include "ku_alloc_impl.h"
#include "ku_alloc_track.h"

#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// ---- Reports ----

constexpr unsigned kTraceLines = 64;
char g_trace[kTraceLines][120];
unsigned g_traced = 0;
bool g_echo = false;

__attribute__((format(printf, 1, 2))) void note(const char *fmt, ...) {
  char *line = g_trace[g_traced % kTraceLines];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof g_trace[0], fmt, ap);
  va_end(ap);
  if (g_echo) fprintf(stderr, "%5u %s\n", g_traced, line);
  ++g_traced;
}

[[noreturn]] void fail(int line, const char *what) {
  fprintf(stderr, "ku_alloc_fuzz: check failed (line %d): %s\nlast operations:\n", line, what);
  for (unsigned i = g_traced > kTraceLines ? g_traced - kTraceLines : 0; i < g_traced; ++i)
    fprintf(stderr, "%5u %s\n", i, g_trace[i % kTraceLines]);
  abort();
}

#define EXPECT(cond)                    \
  do {                                  \
    if (!(cond)) fail(__LINE__, #cond); \
  } while (0)

// ---- Input ----

class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool more() const { return pos_ < size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  unsigned u16() {
    const unsigned lo = byte();
    return lo | unsigned{byte()} << 8;
  }

  // Mostly small sizes, some tiny ones (they fit preload areas), a few large, a few negative.
  int size() {
    const uint8_t sel = byte();
    if (sel < 208) return static_cast<int>((byte() | (sel & 1u) << 8) % 301);
    if (sel < 232) return byte() % 17;
    if (sel < 248) return static_cast<int>((u16() + (sel & 3u) * 4096) % 70001);
    return sel == 255 ? INT_MIN : -1 - byte();
  }

  // A record size for a new home: 24 to 119 bytes, or now and then a negative one.
  int home_size() {
    const uint8_t sel = byte();
    return sel >= 244 ? -1 - (sel & 7) : 24 + sel % 96;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

// ---- Model ----

// The checking loops stay out of the coverage instrumentation: their comparisons tell the
// fuzzer nothing about the allocator and cost most of the time of a run.
#ifdef __clang__
#define KU_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define KU_NO_COVERAGE
#endif

constexpr uint8_t kFreed = 0xAA;
constexpr size_t kMaxHomes = 14;

uint8_t pattern(uint32_t seed, size_t i) {
  return static_cast<uint8_t>(seed * 167u + i * 13u + (i >> 8));
}

KU_NO_COVERAGE void fill(void *p, size_t from, size_t to, uint32_t seed) {
  auto *c = static_cast<uint8_t *>(p);
  for (size_t i = from; i < to; ++i) c[i] = pattern(seed, i);
}

KU_NO_COVERAGE bool holds(const void *p, size_t from, size_t to, uint32_t seed) {
  const auto *c = static_cast<const uint8_t *>(p);
  for (size_t i = from; i < to; ++i)
    if (c[i] != pattern(seed, i)) return false;
  return true;
}

enum class Rec { Caller, Auto, Heap };  // who owns the home record

struct Home;

struct Block {
  void *p;
  uint32_t size;
  uint32_t seed;
  Home *home;  // the home it is entered in; null once detached or made without a home
  Home *area;  // the home whose preload area it was carved from; null for heap blocks
};

struct Home {
  unsigned id = 0;
  ku_home_t *h = nullptr;
  Rec rec = Rec::Heap;
  int size = 0;       // expected kuh_size
  size_t tail = 0;    // bytes of the record behind the home record that the caller owns
  uint32_t seed = 0;  // their pattern
  Home *parent = nullptr;
  bool table = false;  // the rest holds only while there is a table
  uint64_t n = 0, used = 0, ref = 0;
  bool hauto = false, tauto = false, preauto = false, auto_all = false;
  bool preload = false;
  char *base = nullptr;
  uint16_t prsize = 0, prused = 0;
  bool stats = false;
  ku_home_stats_t st{};
  bool dtor = false, dtor_due = false;
  bool dying = false;  // it ends with the home being ended now
  uint8_t dtor_action = 0, dtor_rel = 0;
  int dtor_size = 0;
  bool threadsafe = false, user_locked = false;
  std::vector<Block *> blocks;   // entered here, oldest first
  std::vector<Block *> orphans;  // carved here and detached: they live as long as the area
};

struct CallerRecord {
  ku_home_t home;
  unsigned char tail[40];
};
CallerRecord g_rec;
alignas(16) unsigned char g_area[16 + 70000];

struct World {
  std::vector<Home *> homes;   // every home whose record is valid; the caller's two come first
  std::vector<Block *> loose;  // detached heap blocks and blocks of a null home: ours to free
  std::vector<const void *> touched;  // addresses that left or changed homes in this step
  Home *rec = nullptr;
  Home *autoh = nullptr;
  uint32_t seeds = 1;
  unsigned ids = 0;
  unsigned step = 0;
  Home *move_dst = nullptr;  // the destination of the move under way
};
World W;

const char *name(const Home *m) {
  static char buf[4][16];
  static unsigned k = 0;
  if (!m) return "null";
  char *b = buf[k++ % 4];
  snprintf(b, sizeof buf[0], "H%u", m->id);
  return b;
}

std::vector<Home *> subs(const Home *m) {
  std::vector<Home *> out;
  for (Home *s : W.homes)
    if (s->parent == m) out.push_back(s);
  return out;
}

bool below(const Home *m, const Home *top) {
  for (const Home *p = m->parent; p; p = p->parent)
    if (p == top) return true;
  return false;
}

bool in_area(const Home *m, const void *p) {
  const auto a = reinterpret_cast<uintptr_t>(p);
  const auto b = reinterpret_cast<uintptr_t>(m->base);
  return m->preload && b <= a && a < b + m->prsize;
}

// Whether the model has address a entered in m: a block or a sub-home record.
KU_NO_COVERAGE bool entered(const Home *m, const void *a) {
  for (const Block *b : m->blocks)
    if (b->p == a) return true;
  for (const Home *s : W.homes)
    if (s->parent == m && s->h == a) return true;
  return false;
}

// The table that ku_hash_alloc gives a home that had none.
void fresh_table(Home *m, uint64_t n) {
  m->table = true;
  m->n = n;
  m->used = 0;
  m->ref = 1;
  m->parent = nullptr;
  m->hauto = true;
  m->tauto = m->preauto = m->auto_all = false;
  m->preload = false;
  m->base = nullptr;
  m->prsize = m->prused = 0;
  m->stats = false;
  m->dtor = false;
}

// A larger table takes over the header, except what describes the old table's own memory.
void replace_table(Home *m, uint64_t n) {
  m->n = n;
  m->tauto = false;
  m->auto_all = false;
}

void stats_alloc(Home *m, bool carved, uint64_t size, int kind) {
  if (!m->stats) return;
  ku_home_stats_t &s = m->st;
  if (m->n != s.kst_slots) ++s.kst_resizes;
  s.kst_slots = static_cast<uint32_t>(m->n);
  if (kind > 1) ++s.kst_subhomes;
  if (carved) {
    ++s.kst_alloc_preload;
    return;
  }
  ++s.kst_alloc_count;
  s.kst_alloc_bytes += size;
  s.kst_alloc_rounded += kui::round8(size);
  s.kst_alloc_rounded_max = std::max(s.kst_alloc_rounded_max, s.kst_alloc_rounded);
  ++s.kst_live_count;
  s.kst_live_bytes += size;
  s.kst_live_rounded += kui::round8(size);
}

void stats_free(Home *m, bool carved, uint32_t size) {
  if (!m->stats) return;
  ku_home_stats_t &s = m->st;
  if (carved) {
    ++s.kst_free_preload;
    return;
  }
  ++s.kst_free_count;
  s.kst_free_bytes += size;
  s.kst_free_rounded += kui::round8(size);
  --s.kst_live_count;
  s.kst_live_bytes -= size;
  s.kst_live_rounded -= kui::round8(size);
}

// The record that ku_home_get_stats should copy out of m.
ku_home_stats_t expected_stats(const Home *m) {
  ku_home_stats_t s{};
  if (m && m->table && m->stats) {
    s = m->st;
    s.kst_size = sizeof s;
    s.kst_prsize = m->prsize;
    s.kst_prused = m->prused;
  }
  return s;
}

// The bookkeeping of one successful allocation of size bytes in m (kind 0 plain, 1 zeroed,
// 2 sub-home), after checking that p is where the model puts it.  Returns whether it is carved.
bool enter_new(Home *m, const void *p, uint64_t size, int kind) {
  if (!m->table)
    fresh_table(m, kui::kFirstSlots);
  else if (3 * m->used > 2 * m->n)
    replace_table(m, 4 * m->n + 3);
  bool carved = false;
  if (kind != 2 && m->preload) {
    const uint64_t end = kui::round8(m->prused + size);
    if (end <= m->prsize) {
      EXPECT(p == m->base + m->prused);
      m->prused = static_cast<uint16_t>(end);
      carved = true;
    }
  }
  if (!carved) {
    EXPECT(!in_area(m, p));
    m->auto_all = false;
  }
  ++m->used;
  stats_alloc(m, carved, size, kind);
  return carved;
}

Block *add_block(void *p, uint32_t size, Home *home, Home *area) {
  auto *b = new Block{p, size, W.seeds++, home, area};
  if (home)
    home->blocks.push_back(b);
  else
    W.loose.push_back(b);
  fill(p, 0, size, b->seed);
  return b;
}

void drop(std::vector<Block *> &v, const Block *b) { v.erase(std::find(v.begin(), v.end(), b)); }

KU_NO_COVERAGE bool intact(const Block *b, bool full) {
  if (full || b->size <= 256) return holds(b->p, 0, b->size, b->seed);
  return holds(b->p, 0, 64, b->seed) && holds(b->p, b->size - 64, b->size, b->seed);
}

// Destructors of the whole subtree are due when it dies; a subtree that a destructor moves to a
// live home lives on.
void set_dying(Home *m, bool dying) {
  m->dying = dying;
  m->dtor_due = dying && m->dtor;
  for (Home *s : subs(m)) set_dying(s, dying);
}

bool subtree_locked(const Home *m, bool skip_self = false) {
  if (m->user_locked && !skip_self) return true;
  for (const Home *s : subs(m))
    if (subtree_locked(s)) return true;
  return false;
}

// A sub-home left its parent through ku_free there: one heap entry of its record's size.
void leave_parent(Home *s) {
  Home *p = s->parent;
  stats_free(p, false, static_cast<uint32_t>(s->size));
  --p->used;
}

// Forgets a home that has just died, with its subtree.  A caller's record stays, without table.
void forget(Home *m) {
  for (Home *s : subs(m)) forget(s);
  EXPECT(!m->dtor_due);  // its destructor ran
  for (Block *b : m->blocks) {
    W.touched.push_back(b->p);
    delete b;
  }
  for (Block *b : m->orphans) delete b;
  m->blocks.clear();
  m->orphans.clear();
  if (m->rec == Rec::Heap) {
    W.touched.push_back(m->h);
    W.homes.erase(std::find(W.homes.begin(), W.homes.end(), m));
    delete m;
    return;
  }
  m->table = false;
  m->n = m->used = m->ref = 0;
  m->preload = m->stats = m->dtor = false;
  m->threadsafe = m->user_locked = false;
  m->parent = nullptr;
}

Home *find_home(const void *h) {
  for (Home *m : W.homes)
    if (m->h == h) return m;
  return nullptr;
}

Home *new_home(void *h, Rec rec, int size) {
  auto *m = new Home;
  m->id = W.ids++;
  m->h = static_cast<ku_home_t *>(h);
  m->rec = rec;
  m->size = size;
  m->seed = W.seeds++;
  W.homes.push_back(m);
  return m;
}

// ---- Checks ----

// ku_in_home, checked against the model and for what it adds to the lookup counters: one
// lookup of the home's table, in which a miss examines every slot and a hit fewer.
void lookup(const Home *m, const void *a, int want) {
  const uint64_t count = count_ku_block_find, size = size_ku_block_find;
  const uint64_t used = used_ku_block_find, loop = count_ku_block_find_loop;
  const uint64_t worst = ku_block_find_collision;
  EXPECT(ku_in_home(m->h, a) == want);
  if (!m->table) {
    EXPECT(count_ku_block_find == count);
    return;
  }
  EXPECT(count_ku_block_find == count + 1);
  EXPECT(size_ku_block_find == size + m->n && used_ku_block_find == used + m->used);
  EXPECT(max_size_ku_block_find >= m->n && max_used_ku_block_find >= m->used);
  const uint64_t steps = count_ku_block_find_loop - loop;
  EXPECT(want ? steps < m->n : steps == m->n);
  EXPECT(ku_block_find_collision == std::max(worst, steps));
  if (steps > worst)
    EXPECT(ku_block_find_collision_used == m->used && ku_block_find_collision_size == m->n);
}

void check_stats(const Home *m) {
  ku_home_stats_t got;
  memset(&got, 0x5c, sizeof got);
  ku_home_get_stats(m->h, 0, &got, sizeof got);
  const ku_home_stats_t want = expected_stats(m);
  if (memcmp(&got, &want, sizeof got) == 0) return;
  const auto *g = reinterpret_cast<const uint32_t *>(&got);
  const auto *w = reinterpret_cast<const uint32_t *>(&want);
  for (size_t i = 0; i < sizeof got / 4; ++i)
    if (g[i] != w[i])
      fprintf(stderr, "%s stats word %zu: got %u, want %u\n", name(m), i, g[i], w[i]);
  fail(__LINE__, "statistics disagree with the model");
}

// Every slot against the model: a free one is all zero, an occupied one holds a block of the
// home with its size, or a sub-home with its record size and the sub-home flag.
KU_NO_COVERAGE void check_slots(const Home *m, const ku_block_t *t) {
  std::vector<std::pair<const void *, uint32_t>> mine;
  for (const Block *b : m->blocks) mine.emplace_back(b->p, b->size);
  std::sort(mine.begin(), mine.end());
  uint64_t seen = 0;
  for (uint64_t i = 0; i < t->kub_n; ++i) {
    const ku_alloc_t &e = t->kub_nodes[i];
    if (!e.kua_data) {
      EXPECT(e.kua_size == 0 && e.kua_home == 0);
      continue;
    }
    ++seen;
    if (e.kua_home) {
      const Home *s = find_home(e.kua_data);
      EXPECT(s && s->parent == m && e.kua_size == static_cast<uint32_t>(s->size));
      continue;
    }
    const auto it =
        std::lower_bound(mine.begin(), mine.end(),
                         std::make_pair(static_cast<const void *>(e.kua_data), uint32_t{0}));
    EXPECT(it != mine.end() && it->first == e.kua_data && it->second == e.kua_size);
  }
  EXPECT(seen == m->used);
}

void check_home(const Home *m) {
  const ku_home_t *h = m->h;
  const ku_block_t *t = h->kuh_blocks;
  EXPECT((t != nullptr) == m->table);
  EXPECT(h->kuh_size == m->size);
  EXPECT(holds(reinterpret_cast<const char *>(h) + sizeof *h, 0, m->tail, m->seed));
  EXPECT(ku_home_refcount(const_cast<ku_home_t *>(h)) == (m->table ? m->ref : 0));
  EXPECT(ku_home_parent(h) == (m->parent ? m->parent->h : nullptr));
  EXPECT(ku_home_has_parent(h) == (m->parent ? 1 : 0));
  EXPECT(ku_home_is_threadsafe(h) == (m->threadsafe ? 1 : 0));
  check_stats(m);
  if (!t) {
    EXPECT(!h->kuh_lock);
    return;
  }
  EXPECT(t->kub_n == m->n);
  EXPECT(t->kub_used == m->used);
  EXPECT(t->kub_ref == m->ref);
  EXPECT(t->kub_parent == (m->parent ? m->parent->h : nullptr));
  EXPECT((t->kub_preload != nullptr) == m->preload);
  if (m->preload) {
    EXPECT(t->kub_preload == m->base);
    EXPECT(t->kub_prsize == m->prsize);
    EXPECT(t->kub_prused == m->prused);
  }
  EXPECT(t->kub_hauto == m->hauto);
  EXPECT(t->kub_auto == m->tauto);
  EXPECT(t->kub_preauto == m->preauto);
  EXPECT(t->kub_auto_all == m->auto_all);
  EXPECT((t->kub_stats != nullptr) == m->stats);
  EXPECT((t->kub_destructor != nullptr) == m->dtor);

  check_slots(m, t);
}

// Compares every home with the model.  Contents of large blocks are sampled unless full.
void verify(bool full) {
  for (const Home *m : W.homes) check_home(m);
  for (const Home *m : W.homes) {
    if (!m->parent) ku_home_check(m->h);
    if (m->parent) lookup(m->parent, m->h, 1);
    for (const Block *b : m->blocks) {
      lookup(m, b->p, 1);
      EXPECT(intact(b, full));
    }
    for (const Block *b : m->orphans) EXPECT(intact(b, full));
  }
  for (const Block *b : W.loose) EXPECT(intact(b, full));

  // Addresses that changed hands in this step, and one block picked by the step number, must
  // be found exactly where the model has them.  A miss walks a whole table, so at most 16 of
  // them, spread over the step's changes.
  std::vector<const Block *> all;
  for (const Home *m : W.homes) all.insert(all.end(), m->blocks.begin(), m->blocks.end());
  if (!all.empty()) W.touched.push_back(all[W.step % all.size()]->p);
  const size_t stride = W.touched.size() / 16 + 1;
  for (size_t k = 0; k < W.touched.size(); k += stride) {
    const void *a = W.touched[W.touched.size() - 1 - k];
    for (const Home *m : W.homes) {
      if (!m->table) continue;
      const int want = entered(m, a) ? 1 : 0;
      lookup(m, a, want);
      EXPECT(ku_home_check_alloc(m->h, a) == want);
    }
  }
  W.touched.clear();
}

// ---- Destructor ----

void model_free(Home *m, Block *b, bool by_realloc);
Block *model_alloc(Home *m, int kind, int size);
void op_clone(Home *parent, int size);
void op_move(Home *dst, Home *src);

// The live relative of a dying home that its destructor acts on (which: 1 the parent, 2 a
// sibling, 3 the grandparent), or null.  Relatives that die with it are left alone: the
// teardown is walking their tables, which the model does not follow step by step.
Home *relative(const Home *m, unsigned which) {
  Home *p = m->parent, *r = nullptr;
  if (which == 1) r = p;
  if (which == 2 && p)
    for (Home *s : subs(p))
      if (s != m && !s->dying) r = s;
  if (which == 3 && p) r = p->parent;
  return r && !r->dying && r->table ? r : nullptr;
}

// Allocates in m until its table is replaced, or 400 blocks.
void grow(Home *m) {
  const uint64_t n = m->table ? m->n : 0;
  for (int i = 0; i < 400 && (m->table ? m->n : 0) == n; ++i) model_alloc(m, 0, 8);
}

// Every home's destructor is this one; what it does is the model's dtor_action: bit 0
// allocates dtor_size bytes in the dying home, bit 1 frees its oldest block, bit 4 allocates in
// the destination when a move runs it, bit 5 clones a sub-home in the dying home.  Then
// dtor_rel picks a live relative (bits 0-1, see relative()) and acts on it: bit 2 allocates in
// it until its table is replaced, bit 3 frees its oldest block, bit 4 moves the dying home's
// blocks into it, sub-homes included, which then live on.
void on_destroy(void *home) {
  Home *m = find_home(home);
  EXPECT(m && m->dtor && m->dtor_due);
  note("  destructor of %s", name(m));
  m->dtor = m->dtor_due = false;
  Home *const move_dst = W.move_dst;
  // It runs before anything of the home is freed.
  for (const Block *b : m->blocks) {
    EXPECT(ku_in_home(m->h, b->p) == 1);
    EXPECT(intact(b, false));
  }
  if (m->dtor_action & 1) model_alloc(m, 0, m->dtor_size);
  if ((m->dtor_action & 2) && !m->blocks.empty()) model_free(m, m->blocks.front(), false);
  if ((m->dtor_action & 16) && move_dst) model_alloc(move_dst, 0, m->dtor_size);
  if (m->dtor_action & 32) op_clone(m, 40);

  Home *r = relative(m, m->dtor_rel & 3);
  if (!r) return;
  note("  acts on %s", name(r));
  if (m->dtor_rel & 4) grow(r);
  if ((m->dtor_rel & 8) && !r->blocks.empty()) model_free(r, r->blocks.front(), false);
  if (m->dtor_rel & 16) op_move(r, m);
}

// ---- Operations ----

const char *const kAllocName[] = {"alloc", "zalloc", "salloc"};

// ku_alloc, ku_zalloc or ku_salloc (kind 0, 1, 2) in m.
Block *model_alloc(Home *m, int kind, int size) {
  const int want = kind == 2 && size >= 0 && size < 4 ? 4 : size;
  errno = 0;
  void *p = kind == 0   ? ku_alloc(m->h, size)
            : kind == 1 ? ku_zalloc(m->h, size)
                        : ku_salloc(m->h, size);
  note("%s %s %d -> %p", kAllocName[kind], name(m), size, p);
  if (size < 0) {
    EXPECT(!p && errno == ENOMEM);
    return nullptr;
  }
  if (want == 0) {
    EXPECT(!p && errno == 0);
    return nullptr;
  }
  EXPECT(p != nullptr);
  const bool carved = enter_new(m, p, static_cast<uint64_t>(want), kind == 0 ? 0 : 1);
  if (kind == 1)
    EXPECT(std::all_of(static_cast<char *>(p), static_cast<char *>(p) + want,
                       [](char c) { return c == 0; }));
  if (kind == 2) {
    int32_t stored;
    memcpy(&stored, p, sizeof stored);
    EXPECT(stored == want);
    EXPECT(std::all_of(static_cast<char *>(p) + 4, static_cast<char *>(p) + want,
                       [](char c) { return c == 0; }));
  }
  return add_block(p, static_cast<uint32_t>(want), m, carved ? m : nullptr);
}

// The same calls without a home: the C library's, and the block is ours.
void null_alloc(int kind, int size) {
  errno = 0;
  void *p = kind == 0   ? ku_alloc(nullptr, size)
            : kind == 1 ? ku_zalloc(nullptr, size)
                        : ku_salloc(nullptr, size);
  note("%s null %d -> %p", kAllocName[kind], size, p);
  if (size < 0) {
    EXPECT(!p && errno == ENOMEM);
    return;
  }
  const int want = kind == 2 && size < 4 ? 4 : size;
  if (!p) {
    EXPECT(want == 0);
    return;
  }
  if (kind == 2) {
    int32_t stored;
    memcpy(&stored, p, sizeof stored);
    EXPECT(stored == want);
  }
  add_block(p, static_cast<uint32_t>(want), nullptr, nullptr);
}

void model_free(Home *m, Block *b, bool by_realloc) {
  void *p = b->p;
  note("%s %s %p (%u bytes%s)", by_realloc ? "realloc-to-0" : "free", name(m), p, b->size,
       b->area ? ", carved" : "");
  if (by_realloc)
    EXPECT(ku_realloc(m->h, p, 0) == nullptr);
  else
    ku_free(m->h, p);
  stats_free(m, b->area != nullptr, b->size);
  // Carved bytes stay in the area, where the fill can be seen once the memory checker lets us.
  if (b->area) kui::mark_returned(p, b->size);
  if (b->area)
    EXPECT(std::all_of(static_cast<uint8_t *>(p), static_cast<uint8_t *>(p) + b->size,
                       [](uint8_t c) { return c == kFreed; }));
  --m->used;
  drop(m->blocks, b);
  W.touched.push_back(p);
  delete b;
}

// ku_free of a sub-home, or ku_realloc of it to 0, ends it with its subtree.
void free_subhome(Home *s, bool by_realloc) {
  // ku_free of a pinned sub-home aborts, and a held user mutex must not die with it.
  if (s->ref == REF_MAX || subtree_locked(s)) return;
  Home *p = s->parent;
  note("%s %s subhome %s", by_realloc ? "realloc-to-0" : "free", name(p), name(s));
  set_dying(s, true);
  leave_parent(s);  // before its destructors run, which may use the parent
  if (by_realloc)
    EXPECT(ku_realloc(p->h, s->h, 0) == nullptr);
  else
    ku_free(p->h, s->h);
  forget(s);
}

void model_realloc(Home *m, Block *b, int size) {
  const uint32_t old = b->size;
  EXPECT(holds(b->p, 0, old, b->seed));
  if (size == 0) return model_free(m, b, true);
  errno = 0;
  void *p = ku_realloc(m->h, b->p, size);
  note("realloc %s %p (%u%s) %d -> %p", name(m), b->p, old, b->area ? ", carved" : "", size, p);
  if (size < 0) {
    EXPECT(!p && errno == ENOMEM);
    return;
  }
  EXPECT(p != nullptr);
  const auto want = static_cast<uint32_t>(size);
  if (b->area) {
    const auto off = static_cast<uint64_t>(static_cast<char *>(b->p) - m->base);
    const bool last = kui::round8(off + old) == m->prused;
    if (last ? kui::round8(off + want) <= m->prsize : want < old) {
      EXPECT(p == b->p);
      stats_free(m, true, old);
      stats_alloc(m, true, want, 0);
      if (last) m->prused = static_cast<uint16_t>(kui::round8(off + want));
    } else {
      EXPECT(p != b->p && !in_area(m, p));
      if (last) {
        m->prused = static_cast<uint16_t>(off);
        stats_free(m, true, old);
      }
      stats_alloc(m, false, want, 1);
      kui::mark_returned(b->p, old);
      EXPECT(holds(b->p, 0, old, b->seed));  // the carved bytes are left as they were
      W.touched.push_back(b->p);
      b->area = nullptr;
    }
  } else {
    stats_free(m, false, old);
    stats_alloc(m, false, want, 1);
    if (p != b->p) W.touched.push_back(b->p);
  }
  b->p = p;
  b->size = want;
  EXPECT(holds(p, 0, std::min(old, want), b->seed));
  fill(p, 0, want, b->seed);
}

// An address that m does not hold, for the calls that must then leave everything unchanged.
const void *foreign(Home *m, Input &in) {
  std::vector<const void *> cand;
  for (const Home *o : W.homes) {
    for (const Block *b : o->blocks) {
      cand.push_back(b->p);
      if (b->size > 1) cand.push_back(static_cast<char *>(b->p) + 1 + b->size / 2);
    }
    for (const Block *b : o->orphans) cand.push_back(b->p);
    cand.push_back(o->h);
  }
  for (const Block *b : W.loose) cand.push_back(b->p);
  cand.push_back(g_rec.tail);
  const void *a = cand[in.byte() % cand.size()];
  return entered(m, a) ? nullptr : a;
}

// ku_realloc without a home, of a block of ours: the C library's realloc.
void loose_realloc(Block *b, int size) {
  if (size == 0) size = 1;  // what realloc(p, 0) does is the C library's own business
  errno = 0;
  void *p = ku_realloc(nullptr, b->p, size);
  note("realloc null %p %d -> %p", b->p, size, p);
  if (size < 0) {
    EXPECT(!p && errno == ENOMEM);
    return;
  }
  EXPECT(p && holds(p, 0, std::min<uint32_t>(b->size, static_cast<uint32_t>(size)), b->seed));
  b->p = p;
  b->size = static_cast<uint32_t>(size);
  fill(p, 0, b->size, b->seed);
}

void op_realloc(Home *m, Input &in) {
  const uint8_t v = in.byte();
  const uint8_t pick = in.byte();
  const int size = in.size();
  if (!m) {
    if (!W.loose.empty()) loose_realloc(W.loose[pick % W.loose.size()], size);
    return;
  }
  const std::vector<Home *> own = subs(m);
  switch (v % 8) {
    case 0: {  // of null: allocates
      errno = 0;
      void *p = ku_realloc(m->h, nullptr, size);
      note("realloc %s null %d -> %p", name(m), size, p);
      if (size <= 0) {
        EXPECT(!p && errno == (size < 0 ? ENOMEM : 0));
        return;
      }
      EXPECT(p != nullptr);
      add_block(p, static_cast<uint32_t>(size), m,
                enter_new(m, p, static_cast<uint64_t>(size), 0) ? m : nullptr);
      return;
    }
    case 1: {  // of a sub-home: never resized, but 0 frees it
      if (own.empty()) return;
      Home *s = own[pick % own.size()];
      if (size == 0) return free_subhome(s, true);
      errno = 0;
      void *p = ku_realloc(m->h, s->h, size);
      note("realloc %s subhome %s %d -> %p", name(m), name(s), size, p);
      EXPECT(!p && errno == (size < 0 ? ENOMEM : 0));
      return;
    }
    case 2: {  // of an address that is not the home's
      const void *a = foreign(m, in);
      if (!a || size == 0) return;  // freeing an address not in the home aborts
      errno = 0;
      void *p = ku_realloc(m->h, const_cast<void *>(a), size);
      note("realloc %s foreign %p %d -> %p", name(m), a, size, p);
      EXPECT(!p && errno == (size < 0 ? ENOMEM : 0));
      return;
    }
    default:
      if (m->blocks.empty()) return;
      model_realloc(m, m->blocks[pick % m->blocks.size()], size);
  }
}

void op_free(Home *m, Input &in) {
  const uint8_t v = in.byte();
  const uint8_t pick = in.byte();
  if (v % 8 == 0) {
    ku_free(m->h, nullptr);
    note("free %s null", name(m));
    return;
  }
  if (v % 8 == 1) {
    const std::vector<Home *> own = subs(m);
    if (!own.empty()) {
      free_subhome(own[pick % own.size()], false);
    }
    return;
  }
  if (!m->blocks.empty()) model_free(m, m->blocks[pick % m->blocks.size()], false);
}

void op_clone(Home *parent, int size) {
  if (W.homes.size() >= kMaxHomes) return;
  errno = 0;
  void *r = ku_home_clone(parent ? parent->h : nullptr, size);
  if (size < 0) {
    note("clone %s %d -> %p", name(parent), size, r);
    EXPECT(!r && errno == ENOMEM);
    return;
  }
  EXPECT(r != nullptr);
  Home *s = new_home(r, Rec::Heap, size);
  note("clone %s %d -> %s", name(parent), size, name(s));
  if (parent) enter_new(parent, r, static_cast<uint64_t>(size), 2);
  s->dying = parent && parent->dying;
  s->table = true;
  s->n = kui::kFirstSlots;
  s->ref = 1;
  s->parent = parent;
  s->tail = static_cast<size_t>(size) - sizeof(ku_home_t);
  auto *tail = reinterpret_cast<char *>(s->h) + sizeof(ku_home_t);
  EXPECT(std::all_of(tail, tail + s->tail, [](char c) { return c == 0; }));
  fill(tail, 0, s->tail, s->seed);
}

void op_new_home(Input &in) {
  const uint8_t sel = in.byte();
  switch (sel % 6) {
    case 0:  // the caller's record
      if (W.rec->table) return;
      note("init %s", name(W.rec));
      EXPECT(ku_home_init(W.rec->h) == 0);
      fresh_table(W.rec, kui::kFirstSlots);
      return;
    case 1: {  // the automatic home, anywhere in the first 16 bytes of the buffer
      if (W.autoh->table) return;
      const size_t off = sel / 6 % 16;
      const size_t gap = (8 - off % 8) % 8;
      const int prefix = static_cast<int>(200 + gap);
      const uint8_t k = in.byte();
      const unsigned v = in.u16();
      const int size = k < 40    ? static_cast<int>(150 + v % 100)
                       : k < 48  ? -1 - static_cast<int>(v)
                       : k < 224 ? static_cast<int>(200 + v % 4000)
                                 : static_cast<int>(60000 + v % 10001);
      unsigned char *area = g_area + off;
      ku_home_t *h = ku_home_auto(area, size);
      note("auto +%zu %d -> %p", off, size, static_cast<void *>(h));
      if (size < prefix) {
        EXPECT(!h);
        return;
      }
      EXPECT(h == reinterpret_cast<ku_home_t *>(area + gap));
      Home *m = W.autoh;
      m->h = h;
      m->size = size;
      fresh_table(m, 7);
      m->tauto = m->preauto = m->auto_all = true;
      m->preload = true;
      m->base = reinterpret_cast<char *>(area) + prefix;
      m->prsize = static_cast<uint16_t>(std::min(size - prefix, 65535));
      return;
    }
    case 2:
    case 3: {
      if (W.homes.size() >= kMaxHomes) return;
      const bool create = sel & 16;
      const int size = create ? 24 : in.home_size();
      errno = 0;
      void *h = create ? ku_home_create() : ku_home_new(size);
      note("%s %d -> %p", create ? "create" : "new", size, h);
      if (size < 0) {
        EXPECT(!h && errno == ENOMEM);
        return;
      }
      EXPECT(h != nullptr);
      Home *m = new_home(h, Rec::Heap, size);
      note("  is %s", name(m));
      fresh_table(m, kui::kFirstSlots);
      m->hauto = false;
      m->tail = static_cast<size_t>(size) - sizeof(ku_home_t);
      auto *tail = static_cast<char *>(h) + sizeof(ku_home_t);
      EXPECT(std::all_of(tail, tail + m->tail, [](char c) { return c == 0; }));
      fill(tail, 0, m->tail, m->seed);
      return;
    }
    case 4:
      op_clone(nullptr, in.home_size());
      return;
    default:
      note("null-buffer and null-record homes");
      EXPECT(ku_home_init(nullptr) == -1);
      EXPECT(ku_home_auto(nullptr, 1000) == nullptr);
      return;
  }
}

void op_ref(Home *m, bool mutex) {
  if (!mutex) {
    if (!m->table) return;  // a home without table aborts
    note("ref %s", name(m));
    EXPECT(ku_home_ref(m->h) == m->h);
    if (m->ref != REF_MAX) ++m->ref;
    return;
  }
  if (m->user_locked) return;  // the user mutex is not recursive
  errno = 0;
  const int r = ku_home_mutex_lock(m->h);
  note("mutex_lock %s -> %d", name(m), r);
  if (!m->table) {
    EXPECT(r == -1 && errno == EINVAL);
    return;
  }
  EXPECT(r == 0);
  if (m->ref != REF_MAX) ++m->ref;
  m->user_locked = m->threadsafe;
}

void op_unref(Home *m, bool mutex) {
  // Unlocking a mutex that is not held is undefined: drop the reference alone instead.
  if (mutex && m->threadsafe && !m->user_locked) mutex = false;
  const bool ends = m->table && m->ref == 1;
  if (ends) {
    // A held user mutex must not be destroyed with its home.
    if (subtree_locked(m, mutex)) return;
    set_dying(m, true);
    if (m->parent) leave_parent(m);  // before its destructors run, which may use the parent
  }
  errno = 0;
  const int r = mutex ? ku_home_mutex_unlock(m->h) : ku_home_unref(m->h);
  note("%s %s -> %d%s", mutex ? "mutex_unlock" : "unref", name(m), r, ends ? " (ends)" : "");
  if (mutex) {
    if (!m->table) {
      EXPECT(r == -1 && errno == EINVAL);
      return;
    }
    EXPECT(r == 0);
    m->user_locked = false;
  } else {
    EXPECT(r == (ends ? 1 : 0));
  }
  if (!m->table || m->ref == REF_MAX) return;
  if (!ends) {
    --m->ref;
    return;
  }
  forget(m);
}

void op_destructor(Home *m, uint8_t sel, uint8_t rel, int size) {
  void (*fn)(void *) = sel & 8 ? nullptr : on_destroy;
  errno = 0;
  const int r = sel & 4 ? ku_home_desctructor(m->h, fn) : ku_home_destructor(m->h, fn);
  note("destructor %s action %d relative %d size %d%s -> %d", name(m), sel & 51, rel & 31, size,
       fn ? "" : " (null)", r);
  if (!m->table || m->dtor) {
    EXPECT(r == -1 && errno == 0);
    return;
  }
  EXPECT(r == 0);
  if (!fn) return;
  m->dtor = true;
  m->dtor_action = sel & 51;
  m->dtor_rel = rel & 31;
  m->dtor_size = size;
}

void op_detach(Home *src) {
  note("detach %s", name(src));
  EXPECT(ku_home_move(nullptr, src->h) == 0);
  if (!src->table) return;
  for (Block *b : src->blocks) {
    EXPECT(intact(b, true));
    W.touched.push_back(b->p);
    b->home = nullptr;
    if (b->area)
      src->orphans.push_back(b);  // carved: inside src's area, which src keeps
    else
      W.loose.push_back(b);  // a heap block: ours now
  }
  src->blocks.clear();
  for (Home *s : subs(src)) {
    W.touched.push_back(s->h);
    s->parent = nullptr;  // a top-level heap home now
  }
  src->used = 0;
}

void op_move(Home *dst, Home *src) {
  note("move %s <- %s", name(dst), name(src));
  if (!src) {
    EXPECT(ku_home_move(dst ? dst->h : nullptr, nullptr) == 0);
    return;
  }
  if (!dst) return op_detach(src);
  if (dst == src) {
    EXPECT(ku_home_move(dst->h, src->h) == 0);
    return;
  }
  errno = 0;
  if (below(dst, src)) {  // into its own subtree: refused, and the destructor does not run
    EXPECT(ku_home_move(dst->h, src->h) == -1 && errno == EINVAL);
    return;
  }
  if (src->table && src->dtor) src->dtor_due = true;
  // The destructor runs before the move takes any lock: it may act on any home.
  Home *const outer = std::exchange(W.move_dst, dst);
  const int r = ku_home_move(dst->h, src->h);
  W.move_dst = outer;
  EXPECT(r == 0);
  EXPECT(!src->dtor_due);
  if (!src->table) return;

  // Blocks carved from the source's area stay there; everything else moves.
  std::vector<Block *> moving, staying;
  for (Block *b : src->blocks) (b->area ? staying : moving).push_back(b);
  const std::vector<Home *> own = subs(src);
  const uint64_t movable = moving.size() + own.size();
  const uint64_t used = movable + (dst->table ? dst->used : 0);
  if (used && (!dst->table || 3 * used > 2 * dst->n)) {
    if (dst->table) {
      uint64_t n = dst->n;
      do n = 4 * n + 3;
      while (3 * used > 2 * n);
      replace_table(dst, n);
    } else {
      fresh_table(dst, src->n);
    }
  }
  for (Block *b : moving) {
    b->home = dst;
    dst->blocks.push_back(b);
    W.touched.push_back(b->p);
    EXPECT(intact(b, true));
  }
  for (Home *s : own) {
    s->parent = dst;
    set_dying(s, dst->dying);
    W.touched.push_back(s->h);
  }
  src->blocks = staying;
  src->used -= movable;
  dst->used += movable;
}

void op_preload(Home *m, Input &in) {
  const uint8_t sel = in.byte();
  const int n = sel < 224   ? in.byte() % 40
                : sel < 240 ? -1 - in.byte()
                            : static_cast<int>(in.u16());
  const int size = sel & 1 ? in.size() : in.byte() % 64;
  ku_home_preload(m->h, n, size);
  note("preload %s %d x %d", name(m), n, size);
  if (!m->table) fresh_table(m, kui::kFirstSlots);
  if (m->preload) return;
  // Items are rounded up to 8 in 32 bits, the area in 64 bits, then capped at 16 bits.
  const auto item = static_cast<int32_t>((static_cast<uint32_t>(size) + 7u) & ~7u);
  const auto area = std::min<uint64_t>(static_cast<uint64_t>(int64_t{n} * item), 65535);
  m->preload = true;
  m->base = static_cast<char *>(m->h->kuh_blocks->kub_preload);
  EXPECT(m->base != nullptr);
  m->prsize = static_cast<uint16_t>(area);
  m->prused = 0;
}

void op_init_stats(Home *m) {
  note("init_stats %s", name(m));
  ku_home_init_stats(m->h);
  if (!m->table) fresh_table(m, kui::kFirstSlots);
  m->stats = true;
  m->st = ku_home_stats_t{};
  m->st.kst_slots = static_cast<uint32_t>(m->n);
}

void op_get_stats(Home *m, Input &in) {
  static const int kSizes[] = {0, 3, 4, 8, 24, 119, 120, 121, 200, 256, -1, INT_MIN};
  const uint8_t sel = in.byte();
  const int size = kSizes[sel % 12];
  alignas(8) unsigned char buf[256];
  memset(buf, 0x5c, sizeof buf);
  ku_home_get_stats(m ? m->h : nullptr, sel, reinterpret_cast<ku_home_stats_t *>(buf), size);
  note("get_stats %s size %d", name(m), size);
  const size_t wrote = size < 4 ? 0 : static_cast<size_t>(size);
  ku_home_stats_t want = expected_stats(m);
  if (want.kst_size > size) want.kst_size = size;
  unsigned char expect[256];
  memset(expect, 0x5c, sizeof expect);
  memset(expect, 0, wrote);
  if (wrote) memcpy(expect, &want, static_cast<size_t>(want.kst_size));
  EXPECT(memcmp(buf, expect, sizeof buf) == 0);

  // Adding two homes' records: sums, the larger kst_slots, preload fields untouched.
  Home *o = W.homes[in.byte() % W.homes.size()];
  ku_home_stats_t total = expected_stats(m), add = expected_stats(o), sum = total;
  ku_home_stat_add(&total, &add);
  sum.kst_subhomes += add.kst_subhomes;
  sum.kst_resizes += add.kst_resizes;
  sum.kst_slots = std::max(sum.kst_slots, add.kst_slots);
  sum.kst_alloc_count += add.kst_alloc_count;
  sum.kst_alloc_bytes += add.kst_alloc_bytes;
  sum.kst_alloc_rounded += add.kst_alloc_rounded;
  sum.kst_alloc_rounded_max += add.kst_alloc_rounded_max;
  sum.kst_free_count += add.kst_free_count;
  sum.kst_free_bytes += add.kst_free_bytes;
  sum.kst_free_rounded += add.kst_free_rounded;
  sum.kst_live_count += add.kst_live_count;
  sum.kst_live_bytes += add.kst_live_bytes;
  sum.kst_live_rounded += add.kst_live_rounded;
  EXPECT(memcmp(&total, &sum, sizeof sum) == 0);
}

// Ends a home by the means its kind allows: ku_free in the parent for a sub-home, ku_home_destroy
// for a heap home (its record is then ours to free), ku_home_deinit or destroy for a caller's.
void op_end(Home *m, uint8_t sel) {
  if (!m->table) {
    note("%s %s (no table)", sel & 1 ? "deinit" : "destroy", name(m));
    sel & 1 ? ku_home_deinit(m->h) : ku_home_destroy(m->h);
    return;
  }
  if (m->parent) return free_subhome(m, false);
  if (subtree_locked(m)) return;
  if (m->ref != 1) return;  // both abort on a shared home
  set_dying(m, true);
  ku_home_t *h = m->h;
  if (m->rec == Rec::Heap) {
    note("destroy %s", name(m));
    ku_home_destroy(h);
    EXPECT(!h->kuh_blocks && !h->kuh_lock && h->kuh_size == m->size);
    EXPECT(holds(reinterpret_cast<char *>(h) + sizeof *h, 0, m->tail, m->seed));
    forget(m);
    free(h);
    return;
  }
  note("%s %s", sel & 1 ? "deinit" : "destroy", name(m));
  sel & 1 ? ku_home_deinit(h) : ku_home_destroy(h);
  forget(m);
}

void op_probe(Home *m, Input &in) {
  const uint8_t own = in.byte();
  const void *a = foreign(m, in);
  if (!a && !m->blocks.empty()) a = m->blocks[own % m->blocks.size()]->p;
  if (!a) return;
  const int want = entered(m, a) ? 1 : 0;
  note("in_home %s %p -> want %d", name(m), a, want);
  lookup(m, a, want);
  EXPECT(ku_home_check_alloc(m->h, a) == want);
  EXPECT(ku_in_home(m->h, nullptr) == 0 && ku_in_home(nullptr, a) == 0);
  EXPECT(ku_home_check_alloc(nullptr, a) == 0);
}

// The calls that a null home answers without a home to work on.
void op_null_home() {
  note("null-home answers");
  errno = 0;
  EXPECT(ku_home_ref(nullptr) == nullptr && errno == EFAULT);
  errno = 0;
  EXPECT(ku_home_unref(nullptr) == 0 && ku_home_refcount(nullptr) == 0 && errno == 0);
  EXPECT(ku_home_parent(nullptr) == nullptr && ku_home_has_parent(nullptr) == 0);
  EXPECT(ku_home_destructor(nullptr, on_destroy) == -1 && errno == EFAULT);
  errno = 0;
  EXPECT(ku_home_threadsafe(nullptr) == -1 && errno == EFAULT);
  errno = 0;
  EXPECT(ku_home_lock(nullptr) == EFAULT && ku_home_trylock(nullptr) == EFAULT);
  EXPECT(ku_home_unlock(nullptr) == EFAULT && errno == 0);
  EXPECT(ku_home_mutex_lock(nullptr) == -1 && errno == EFAULT);
  ku_home_deinit(nullptr);
  ku_home_destroy(nullptr);
  ku_home_check(nullptr);
  ku_home_preload(nullptr, 4, 8);
  ku_home_init_stats(nullptr);
  ku_free(nullptr, nullptr);
}

void op_loose(Input &in) {
  const uint8_t sel = in.byte();
  const uint8_t pick = in.byte();
  if (W.loose.empty()) return;
  Block *b = W.loose[pick % W.loose.size()];
  EXPECT(intact(b, true));
  if (sel % 3 == 2) return loose_realloc(b, in.size());
  note("%s loose %p", sel % 3 ? "ku_free(null)" : "free", b->p);
  sel % 3 ? ku_free(nullptr, b->p) : free(b->p);
  drop(W.loose, b);
  delete b;
}

void op_lock(Home *m, uint8_t sel) {
  int r;
  switch (sel % 4) {
    case 0:
      if (!m->table) return;  // the lock is made for a home that has its table
      note("threadsafe %s", name(m));
      EXPECT(ku_home_threadsafe(m->h) == 0);
      m->threadsafe = true;
      return;
    case 1:
      if (m->user_locked) return;
      r = ku_home_lock(m->h);
      note("lock %s -> %d", name(m), r);
      EXPECT(r == (m->threadsafe ? 0 : -1));
      m->user_locked = m->threadsafe;
      return;
    case 2:
      r = ku_home_trylock(m->h);
      note("trylock %s -> %d", name(m), r);
      EXPECT(r == (!m->threadsafe ? -1 : m->user_locked ? EBUSY : 0));
      m->user_locked = m->threadsafe;
      return;
    default:
      if (m->threadsafe && !m->user_locked) return;
      r = ku_home_unlock(m->h);
      note("unlock %s -> %d", name(m), r);
      EXPECT(r == (m->threadsafe ? 0 : -1));
      m->user_locked = false;
      return;
  }
}

// A count of REF_MAX is never raised or lowered; nothing but a parent's death ends the home.
// No operation stores it, so it is written into the table here.
void op_pin(Home *m) {
  if (!m->table) return;
  note("pin %s at REF_MAX", name(m));
  m->h->kuh_blocks->kub_ref = REF_MAX;
  m->ref = REF_MAX;
}

Home *pick(Input &in, bool null_ok) {
  const size_t k = in.byte() % (W.homes.size() + (null_ok ? 1 : 0));
  return k < W.homes.size() ? W.homes[k] : nullptr;
}

void run_op(Input &in) {
  const uint8_t op = in.byte() % 32;
  switch (op) {
    case 30: {  // many small blocks at once, so that tables grow large
      Home *m = pick(in, false);
      const int count = in.byte() % 64 + 1;
      const int size = in.byte() % 64;
      for (int i = 0; i < count; ++i) model_alloc(m, 0, size);
      return;
    }
    case 31: {  // and many frees
      Home *m = pick(in, false);
      const int count = in.byte() % 64 + 1;
      const uint8_t stride = in.byte();
      for (int i = 0; i < count && !m->blocks.empty(); ++i)
        model_free(m, m->blocks[(stride + i * 7u) % m->blocks.size()], false);
      return;
    }
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5: {
      const int kind = op / 2;
      Home *m = pick(in, true);
      const int size = in.size();
      if (m)
        model_alloc(m, kind, size);
      else
        null_alloc(kind, size);
      return;
    }
    case 6:
    case 7:
    case 8: {
      Home *m = pick(in, true);
      return op_realloc(m, in);
    }
    case 9:
    case 10: {
      Home *m = pick(in, false);
      if (m->table) op_free(m, in);  // freeing in a home without table aborts
      return;
    }
    case 11:
    case 12: {
      Home *m = pick(in, true);
      return op_clone(m, in.home_size());
    }
    case 13: {
      Home *m = pick(in, false);
      return op_ref(m, in.byte() & 1);
    }
    case 14:
    case 15: {
      Home *m = pick(in, false);
      return op_unref(m, in.byte() & 1);
    }
    case 16: {
      Home *m = pick(in, false);
      const uint8_t sel = in.byte();
      const uint8_t rel = in.byte();
      return op_destructor(m, sel, rel, in.size());
    }
    case 17:
    case 18: {
      Home *dst = pick(in, true);
      Home *src = pick(in, true);
      return op_move(dst, src);
    }
    case 19:
      return op_detach(pick(in, false));
    case 20: {
      Home *m = pick(in, false);
      return op_preload(m, in);
    }
    case 21:
    case 22:
      return op_new_home(in);
    case 23:
      return op_init_stats(pick(in, false));
    case 24: {
      Home *m = pick(in, true);
      return op_get_stats(m, in);
    }
    case 25: {
      Home *m = pick(in, false);
      return op_end(m, in.byte());
    }
    case 26: {
      Home *m = pick(in, false);
      return op_probe(m, in);
    }
    case 27:
      return op_loose(in);
    case 28: {
      Home *m = pick(in, false);
      return op_lock(m, in.byte());
    }
    default: {
      const uint8_t sel = in.byte();
      if (sel % 4 == 1) return op_null_home();
      if (sel % 4 == 2) return op_pin(pick(in, false));
      note("full check");
      return verify(true);
    }
  }
}

// Ends every home and frees every detached block; the model must then be empty.
void finish() {
  note("end of input");
  for (Home *m : W.homes)
    if (m->user_locked) {
      EXPECT(ku_home_unlock(m->h) == 0);
      m->user_locked = false;
    }
  verify(true);
  for (Home *m : W.homes)
    if (m->table && m->ref == REF_MAX && !m->parent) {
      m->h->kuh_blocks->kub_ref = 1;
      m->ref = 1;
    }
  for (;;) {
    auto top = std::find_if(W.homes.begin(), W.homes.end(),
                            [](const Home *m) { return m->table && !m->parent; });
    if (top == W.homes.end()) break;
    Home *m = *top;
    while (m->ref > 1) op_unref(m, false);
    op_unref(m, false);
  }
  for (Block *b : W.loose) {
    EXPECT(intact(b, true));
    free(b->p);
    delete b;
  }
  W.loose.clear();
  EXPECT(W.homes.size() == 2 && W.rec->blocks.empty() && W.autoh->blocks.empty());
  EXPECT(!W.rec->h->kuh_blocks && !W.autoh->h->kuh_blocks);
}

void start() {
  memset(&g_rec.home, 0, sizeof g_rec.home);
  g_rec.home.kuh_size = sizeof g_rec;
  memset(g_area, 0, 64);
  W = World{};
  W.rec = new_home(&g_rec.home, Rec::Caller, sizeof g_rec);
  W.rec->tail = sizeof g_rec.tail;
  fill(g_rec.tail, 0, sizeof g_rec.tail, W.rec->seed);
  W.autoh = new_home(g_area, Rec::Auto, 0);
}

// ---- Driver ----

// Reads KU_FUZZ_TRACE once: when set (and not 0), every operation is printed as it runs.
void ku_alloc_model_init() {
  const char *trace = getenv("KU_FUZZ_TRACE");
  g_echo = trace && *trace && *trace != '0';
}

// Runs one input through the homes and the model, checking after each operation and at the
// end; a disagreement aborts with the last operations printed.
void ku_alloc_model_run(const uint8_t *data, size_t size) {
  Input in(data, size);
  start();
  while (in.more()) {
    run_op(in);
    verify(false);
    ++W.step;
  }
  finish();
  delete W.rec;
  delete W.autoh;
  W = World{};
}

}  // namespace

#endif  // KU_ALLOC_MODEL_H
