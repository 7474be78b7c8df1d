// SPDX-License-Identifier: MIT
// Random operations on a few homes, each step checked against a simple model of what the homes
// must hold: which addresses live in which home with what size and contents, which sub-home
// hangs below which parent with how many references, how far each preload area is carved, and
// what the live counters of each home's statistics must read.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ku_alloc_impl.h"
#include "ku_expose.h"

namespace {

// A small deterministic generator, so that a seed names the same run everywhere.
struct Rng {
  uint64_t s;
  uint64_t next() {
    s += 0x9E3779B97F4A7C15u;
    uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }
};

uint64_t round8(uint64_t n) { return (n + 7) & ~uint64_t{7}; }

enum class Kind { heap, caller, automatic, sub };

struct MHome {
  ku_home_t *h = nullptr;
  Kind kind = Kind::heap;
  int parent = -1;  // index in homes, -1 for a top-level home
  uint64_t refs = 1;
  bool alive = true;
  bool stats = false;
  uint64_t live_count = 0, live_bytes = 0;  // as the statistics must count them
  char *pre = nullptr;                      // preload area, once the home has one
  uint64_t prsize = 0, prused = 0;
};

struct MBlock {
  void *p;
  int home;
  int size;
  unsigned char seed;
  int sub;  // index of the sub-home for a sub-home entry, else -1
};

unsigned char pattern(unsigned char seed, int i) {
  return static_cast<unsigned char>(seed + i * 7);
}

class Model {
 public:
  explicit Model(uint64_t seed) : seed_(seed), rng_{seed} {
    make_root(Kind::heap);
    make_root(Kind::caller);
    make_root(Kind::automatic);
  }

  void run(int steps) {
    for (step_ = 0; step_ < steps && ok_; step_++) {
      one_step();
      if (ok_) check_all(step_ % 64 == 0);
    }
    if (ok_) check_all(true);
    finish();
  }

 private:
  uint64_t seed_;
  Rng rng_;
  int step_ = -1;
  int main_[3] = {0, 0, 0};  // the current top-level home of each of the three kinds
  const char *op_ = "start";
  bool ok_ = true;
  std::vector<MHome> homes_;
  std::vector<MBlock> blocks_;
  ku_home_t caller_{};                 // record of the caller's home
  std::vector<unsigned char> buffer_;  // buffer of the automatic home

  void fail(const char *what, int line, int home = -1) {
    ADD_FAILURE() << "seed " << seed_ << " step " << step_ << " after " << op_ << " (line " << line
                  << "): " << what;
    if (home >= 0 && homes_[home].alive) dump(home);
    ok_ = false;
  }
#define CHECK_M(cond, home)                          \
  do {                                               \
    if (!(cond)) return fail(#cond, __LINE__, home); \
  } while (0)

  void dump(int i) {
    ku_block_t *t = homes_[i].h->kuh_blocks;
    if (!t) return;
    fprintf(stderr, "home %d: n %lu used %lu prsize %u prused %u\n", i,
            static_cast<unsigned long>(t->kub_n), static_cast<unsigned long>(t->kub_used),
            t->kub_prsize, t->kub_prused);
    for (uint64_t s = 0; s < t->kub_n; s++)
      if (t->kub_nodes[s].kua_data)
        fprintf(stderr, "  [%lu] %p size %u%s\n", static_cast<unsigned long>(s),
                t->kub_nodes[s].kua_data, t->kub_nodes[s].kua_size,
                t->kub_nodes[s].kua_home ? " home" : "");
  }

  // ---- Making and ending homes ----

  int add_home(ku_home_t *h, Kind kind, int parent) {
    MHome m;
    m.h = h;
    m.kind = kind;
    m.parent = parent;
    if (kind == Kind::automatic) {
      m.pre = static_cast<char *>(h->kuh_blocks->kub_preload);
      m.prsize = h->kuh_blocks->kub_prsize;
    }
    if (rng_.chance(70)) {
      ku_home_init_stats(h);
      m.stats = true;
    }
    homes_.push_back(m);
    return static_cast<int>(homes_.size()) - 1;
  }

  void make_root(Kind kind) {
    int i;
    if (kind == Kind::heap) {
      i = add_home(static_cast<ku_home_t *>(ku_home_new(40)), kind, -1);
    } else if (kind == Kind::caller) {
      caller_ = ku_home_t{};
      ku_home_init(&caller_);
      i = add_home(&caller_, kind, -1);
    } else {
      // Aligned or not: the home starts at the buffer's first 8-aligned byte.
      int skew = rng_.below(8);
      int gap = (8 - skew) % 8;
      buffer_.assign(4200, 0);
      i = add_home(ku_home_auto(buffer_.data() + skew, 4096), kind, -1);
      CHECK_M(homes_[i].h == reinterpret_cast<ku_home_t *>(buffer_.data() + skew + gap), i);
      CHECK_M(homes_[i].pre == reinterpret_cast<char *>(buffer_.data() + skew + 200 + gap), i);
      CHECK_M(homes_[i].prsize == static_cast<uint64_t>(4096 - 200 - gap), i);
    }
    main_[static_cast<int>(kind)] = i;
  }

  // Forgets a dead home and, recursively, everything in it.
  void forget(int home) {
    homes_[home].alive = false;
    for (size_t i = 0; i < blocks_.size();) {
      if (blocks_[i].home == home) {
        int sub = blocks_[i].sub;
        blocks_[i] = blocks_.back();
        blocks_.pop_back();
        if (sub >= 0) forget(sub);
        i = 0;
      } else {
        i++;
      }
    }
  }

  // Index of the block entry that holds the sub-home.
  size_t entry_of_sub(int sub) {
    for (size_t i = 0; i < blocks_.size(); i++)
      if (blocks_[i].sub == sub) return i;
    return blocks_.size();
  }

  void count_free(int home, int size) {
    MHome &m = homes_[home];
    m.live_count--;
    m.live_bytes -= static_cast<uint64_t>(size);
  }

  void count_alloc(int home, int size) {
    MHome &m = homes_[home];
    m.live_count++;
    m.live_bytes += static_cast<uint64_t>(size);
  }

  bool carved(const MBlock &b) {
    const MHome &m = homes_[b.home];
    auto *c = static_cast<char *>(b.p);
    return m.pre && c >= m.pre && c < m.pre + m.prsize;
  }

  bool below(int home, int top) {
    for (int h = homes_[home].parent; h >= 0; h = homes_[h].parent)
      if (h == top) return true;
    return false;
  }

  // ---- Picking ----

  // One of the three first-made homes half of the time, so that some homes fill up.
  int live_home() {
    if (rng_.chance(50)) return main_[rng_.below(3)];
    for (;;) {
      int i = rng_.below(static_cast<int>(homes_.size()));
      if (homes_[i].alive) return i;
    }
  }

  int live_sub() {
    std::vector<int> subs;
    for (size_t i = 0; i < homes_.size(); i++)
      if (homes_[i].alive && homes_[i].parent >= 0) subs.push_back(static_cast<int>(i));
    return subs.empty() ? -1 : subs[rng_.below(static_cast<int>(subs.size()))];
  }

  int data_block() {
    std::vector<size_t> data;
    for (size_t i = 0; i < blocks_.size(); i++)
      if (blocks_[i].sub < 0) data.push_back(i);
    return data.empty() ? -1 : static_cast<int>(data[rng_.below(static_cast<int>(data.size()))]);
  }

  int size() {
    int r = rng_.below(100);
    if (r < 70) return 1 + rng_.below(64);
    if (r < 95) return 65 + rng_.below(448);
    return 513 + rng_.below(4500);
  }

  // ---- Operations ----

  // Per mille: allocations outweigh frees until some 600 blocks live, so tables grow.
  void one_step() {
    int r = rng_.below(1000);
    if (blocks_.size() > 600 && r < 300) r += 300;
    if (r < 350) return op_alloc();
    if (r < 500) return op_realloc();
    if (r < 750) return op_free();
    if (r < 800) return op_clone();
    if (r < 860) return op_ref_unref();
    if (r < 890) return op_move();
    if (r < 910) return op_preload();
    if (r < 920) return op_restart_stats();
    if (r < 950) return op_refused();
    if (r < 953) return op_end_root();
    return op_check_one();
  }

  void op_alloc() {
    op_ = "alloc";
    int home = live_home();
    MHome &m = homes_[home];
    int which = rng_.below(4);
    int want = size();
    uint64_t stored = which == 2 && want < 4 ? 4 : static_cast<uint64_t>(want);
    bool carve = m.pre && round8(m.prused + stored) <= m.prsize;
    void *p = which == 0   ? ku_alloc(m.h, want)
              : which == 1 ? ku_zalloc(m.h, want)
              : which == 2 ? ku_salloc(m.h, want)
                           : ku_realloc(m.h, nullptr, want);
    CHECK_M(p != nullptr, home);
    if (carve) {
      CHECK_M(p == m.pre + m.prused, home);
      m.prused = round8(m.prused + stored);
    } else {
      count_alloc(home, static_cast<int>(stored));
    }
    auto *b = static_cast<unsigned char *>(p);
    if (which == 2) {
      int32_t head;
      memcpy(&head, b, 4);
      CHECK_M(head == static_cast<int32_t>(stored), home);
      for (uint64_t i = 4; i < stored; i++) CHECK_M(b[i] == 0, home);
    } else if (which == 1) {
      for (int i = 0; i < want; i++) CHECK_M(b[i] == 0, home);
    }
    MBlock nb{p, home, static_cast<int>(stored), static_cast<unsigned char>(rng_.next()), -1};
    for (int i = 0; i < nb.size; i++) b[i] = pattern(nb.seed, i);
    blocks_.push_back(nb);
    CHECK_M(ku_in_home(m.h, p) == 1, home);
  }

  void op_realloc() {
    op_ = "realloc";
    int i = data_block();
    if (i < 0) return op_alloc();
    MBlock &b = blocks_[i];
    MHome &m = homes_[b.home];
    int want = size();
    check_contents(b);
    if (!ok_) return;
    bool was_carved = carved(b);
    uint64_t off = was_carved ? static_cast<uint64_t>(static_cast<char *>(b.p) - m.pre) : 0;
    bool last = was_carved && round8(off + b.size) == m.prused;
    void *old = b.p;
    void *q = ku_realloc(m.h, b.p, want);
    CHECK_M(q != nullptr, b.home);
    if (!was_carved) {
      count_free(b.home, b.size);
      count_alloc(b.home, want);
    } else if (last && round8(off + want) <= m.prsize) {
      CHECK_M(q == old, b.home);
      m.prused = round8(off + want);
    } else if (!last && want < b.size) {
      CHECK_M(q == old, b.home);
    } else {
      CHECK_M(q != old, b.home);
      if (last) m.prused = off;
      count_alloc(b.home, want);
    }
    auto *c = static_cast<unsigned char *>(q);
    for (int k = 0; k < (want < b.size ? want : b.size); k++)
      CHECK_M(c[k] == pattern(b.seed, k), b.home);
    for (int k = 0; k < want; k++) c[k] = pattern(b.seed, k);
    b.p = q;
    b.size = want;
    if (q != old) CHECK_M(ku_in_home(m.h, old) == 0, b.home);
    CHECK_M(ku_in_home(m.h, q) == 1, b.home);
  }

  void op_free() {
    op_ = "free";
    int i = data_block();
    if (i < 0) return op_alloc();
    MBlock b = blocks_[i];
    MHome &m = homes_[b.home];
    check_contents(b);
    if (!ok_) return;
    bool was_carved = carved(b);
    ku_free(m.h, b.p);
    if (was_carved) {
      expose(b.p, static_cast<size_t>(b.size));
      for (int k = 0; k < b.size; k++)
        CHECK_M(static_cast<unsigned char *>(b.p)[k] == 0xAA, b.home);
    } else {
      count_free(b.home, b.size);
    }
    blocks_[i] = blocks_.back();
    blocks_.pop_back();
    CHECK_M(ku_in_home(m.h, b.p) == 0, b.home);
  }

  void op_clone() {
    op_ = "clone";
    int parent = live_home();
    int sz = 24 + rng_.below(40);
    void *s = ku_home_clone(homes_[parent].h, sz);
    CHECK_M(s != nullptr, parent);
    count_alloc(parent, sz);
    int sub = add_home(static_cast<ku_home_t *>(s), Kind::sub, parent);
    blocks_.push_back({s, parent, sz, 0, sub});
  }

  void op_ref_unref() {
    op_ = "ref_unref";
    int sub = live_sub();
    if (sub < 0) return op_clone();
    MHome &m = homes_[sub];
    int r = rng_.below(3);
    if (r == 0) {
      CHECK_M(ku_home_ref(m.h) == m.h, sub);
      m.refs++;
      return;
    }
    int parent = m.parent;
    size_t e = entry_of_sub(sub);
    int sz = blocks_[e].size;
    if (r == 1) {
      int ended = ku_home_unref(m.h);
      m.refs--;
      CHECK_M(ended == (m.refs == 0 ? 1 : 0), sub);
      if (!ended) return;
    } else {
      ku_free(homes_[parent].h, m.h);  // ends it whatever its count
    }
    count_free(parent, sz);
    blocks_[e] = blocks_.back();
    blocks_.pop_back();
    forget(sub);
    CHECK_M(ku_in_home(homes_[parent].h, homes_[sub].h) == 0, parent);
  }

  void op_move() {
    op_ = "move";
    int src = live_home();
    int dst = live_home();
    if (src == dst) return;
    if (below(dst, src)) {
      errno = 0;
      CHECK_M(ku_home_move(homes_[dst].h, homes_[src].h) == -1 && errno == EINVAL, src);
      return;
    }
    CHECK_M(ku_home_move(homes_[dst].h, homes_[src].h) == 0, src);
    // Blocks carved from the source's area stay with it.
    for (MBlock &b : blocks_) {
      if (b.home != src || carved(b)) continue;
      b.home = dst;
      if (b.sub >= 0) homes_[b.sub].parent = dst;
      CHECK_M(ku_in_home(homes_[dst].h, b.p) == 1, dst);
      CHECK_M(ku_in_home(homes_[src].h, b.p) == 0, src);
    }
  }

  void op_preload() {
    op_ = "preload";
    int home = live_home();
    MHome &m = homes_[home];
    int n = 1 + rng_.below(16), sz = 1 + rng_.below(100);
    ku_home_preload(m.h, n, sz);
    ku_block_t *t = m.h->kuh_blocks;
    if (!m.pre) {
      m.pre = static_cast<char *>(t->kub_preload);
      m.prsize = static_cast<uint64_t>(n) * round8(static_cast<uint64_t>(sz));
      CHECK_M(m.pre != nullptr, home);
    }
    CHECK_M(t->kub_preload == m.pre && t->kub_prsize == m.prsize, home);
  }

  void op_restart_stats() {
    op_ = "restart_stats";
    int home = live_home();
    MHome &m = homes_[home];
    ku_home_init_stats(m.h);
    m.stats = true;
    m.live_count = m.live_bytes = 0;
  }

  // Calls that must fail and change nothing.
  void op_refused() {
    op_ = "refused";
    int home = live_home();
    MHome &m = homes_[home];
    uint64_t used = m.h->kuh_blocks ? m.h->kuh_blocks->kub_used : 0;
    errno = 0;
    CHECK_M(ku_alloc(m.h, -1 - rng_.below(1000)) == nullptr && errno == ENOMEM, home);
    errno = 0;
    CHECK_M(ku_zalloc(m.h, 0) == nullptr && errno == 0, home);
    int foreign;
    CHECK_M(ku_realloc(m.h, &foreign, 16) == nullptr, home);
    int sub = live_sub();
    if (sub >= 0)
      CHECK_M(ku_realloc(homes_[homes_[sub].parent].h, homes_[sub].h, 99) == nullptr, sub);
    CHECK_M((m.h->kuh_blocks ? m.h->kuh_blocks->kub_used : 0) == used, home);
  }

  // Ends a top-level home with everything in it and makes a new one of its kind.
  void op_end_root() {
    op_ = "end_root";
    std::vector<int> roots;
    for (size_t i = 0; i < homes_.size(); i++)
      if (homes_[i].alive && homes_[i].parent < 0) roots.push_back(static_cast<int>(i));
    int root = roots[rng_.below(static_cast<int>(roots.size()))];
    end_root(root);
    if (homes_[root].kind != Kind::sub) make_root(homes_[root].kind);
  }

  void end_root(int root) {
    MHome &m = homes_[root];
    if (m.kind == Kind::caller || m.kind == Kind::automatic) {
      if (rng_.chance(50) && m.refs == 1) {
        ku_home_deinit(m.h);
      } else {
        while (ku_home_unref(m.h) == 0) {
        }
      }
      CHECK_M(m.h->kuh_blocks == nullptr, root);
    } else {
      while (ku_home_unref(m.h) == 0) {
      }
    }
    forget(root);
  }

  void op_check_one() {
    op_ = "check_one";
    int home = live_home();
    ku_home_check(homes_[home].h);
    // Detach now and then: heap blocks become the caller's, sub-homes top-level homes, and
    // carved bytes stay in the area.
    if (!rng_.chance(10)) return;
    CHECK_M(ku_home_move(nullptr, homes_[home].h) == 0, home);
    for (size_t i = 0; i < blocks_.size();) {
      MBlock &b = blocks_[i];
      if (b.home != home) {
        i++;
        continue;
      }
      if (b.sub >= 0) {
        homes_[b.sub].parent = -1;  // still of kind sub: its record is not ours to free
        CHECK_M(ku_home_parent(homes_[b.sub].h) == nullptr, b.sub);
      } else if (!carved(b)) {
        check_contents(b);
        free(b.p);
      }
      blocks_[i] = blocks_.back();
      blocks_.pop_back();
    }
  }

  // ---- Checks ----

  void check_contents(const MBlock &b) {
    auto *c = static_cast<unsigned char *>(b.p);
    for (int k = 0; k < b.size; k++) CHECK_M(c[k] == pattern(b.seed, k), b.home);
  }

  void check_all(bool deep) {
    std::vector<uint64_t> entries(homes_.size(), 0);
    for (const MBlock &b : blocks_) entries[b.home]++;
    for (size_t i = 0; i < homes_.size() && ok_; i++) {
      const MHome &m = homes_[i];
      if (!m.alive) continue;
      int hi = static_cast<int>(i);
      ku_block_t *t = m.h->kuh_blocks;
      CHECK_M(t != nullptr, hi);
      CHECK_M(t->kub_used == entries[i], hi);
      CHECK_M(ku_home_refcount(m.h) == m.refs, hi);
      CHECK_M(ku_home_parent(m.h) == (m.parent < 0 ? nullptr : homes_[m.parent].h), hi);
      CHECK_M(t->kub_prused == m.prused, hi);
      if (m.parent < 0) ku_home_check(m.h);
      if (m.stats) {
        ku_home_stats_t s;
        ku_home_get_stats(m.h, 0, &s, sizeof s);
        CHECK_M(s.kst_live_count == m.live_count, hi);
        CHECK_M(s.kst_live_bytes == m.live_bytes, hi);
        CHECK_M(s.kst_slots <= t->kub_n, hi);
      }
    }
    if (!deep) return;
    for (const MBlock &b : blocks_) {
      CHECK_M(ku_in_home(homes_[b.home].h, b.p) == 1, b.home);
      if (b.sub < 0) check_contents(b);
      if (!ok_) return;
    }
  }

  // Ends every top-level home; LeakSanitizer reports whatever the homes failed to free.
  void finish() {
    for (size_t i = 0; i < homes_.size(); i++)
      if (homes_[i].alive && homes_[i].parent < 0) end_root(static_cast<int>(i));
  }
#undef CHECK_M
};

class ModelTest : public testing::TestWithParam<uint64_t> {};

TEST_P(ModelTest, random_operations_match_the_model) { Model(GetParam()).run(10000); }

INSTANTIATE_TEST_SUITE_P(Seeds, ModelTest, testing::Values(1u, 2u, 3u, 20240611u));

}  // namespace
