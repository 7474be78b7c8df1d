// SPDX-License-Identifier: MIT
// Thread-safe homes shared between threads: concurrent allocation, sub-homes, the user mutex,
// ending a home from another thread, a soak that moves blocks between sibling homes; and what
// the locking calls answer for homes without a mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "ku_test_util.h"

namespace {

using namespace ku_test;

ku_home_t *threadsafe_home() {
  ku_home_t *h = ku_home_create();
  EXPECT_EQ(ku_home_threadsafe(h), 0);
  return h;
}

struct Block {
  void *p;
  int size;
};

// One thread's share of the work in a shared home: its own blocks, allocated, resized and
// freed with their contents checked, sub-homes made and ended, and the user mutex taken.
void churn(ku_home_t *h, unsigned seed, int rounds, std::atomic<int> *errors) {
  std::vector<Block> mine;
  auto tag = static_cast<unsigned char>(seed);
  uint32_t x = seed * 2654435761u + 1;
  auto rnd = [&x](uint32_t n) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x % n;
  };
  for (int i = 0; i < rounds; i++) {
    switch (rnd(8)) {
      case 0:
      case 1:
      case 2: {
        int size = 1 + static_cast<int>(rnd(200));
        void *p = rnd(2) ? ku_alloc(h, size) : ku_zalloc(h, size);
        if (!p) {
          ++*errors;
          break;
        }
        memset(p, tag, static_cast<size_t>(size));
        mine.push_back({p, size});
        break;
      }
      case 3:
        if (!mine.empty()) {
          Block &b = mine[rnd(static_cast<uint32_t>(mine.size()))];
          int size = 1 + static_cast<int>(rnd(400));
          void *q = ku_realloc(h, b.p, size);
          if (!q || !all_bytes(q, static_cast<size_t>(size < b.size ? size : b.size), tag))
            ++*errors;
          if (!q) break;
          memset(q, tag, static_cast<size_t>(size));
          b = {q, size};
        }
        break;
      case 4:
      case 5:
        if (!mine.empty()) {
          size_t k = rnd(static_cast<uint32_t>(mine.size()));
          if (!all_bytes(mine[k].p, static_cast<size_t>(mine[k].size), tag) ||
              ku_in_home(h, mine[k].p) != 1)
            ++*errors;
          ku_free(h, mine[k].p);
          mine[k] = mine.back();
          mine.pop_back();
        }
        break;
      case 6: {
        auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 32));
        if (!sub) {
          ++*errors;
          break;
        }
        for (int k = 0; k < 5; k++) ku_alloc(sub, 16);
        if (ku_home_parent(sub) != h) ++*errors;
        if (ku_home_unref(sub) != 1) ++*errors;
        break;
      }
      default:
        if (rnd(2)) {
          if (ku_home_lock(h) != 0) ++*errors;
          void *p = ku_alloc(h, 8);  // the user mutex does not keep anyone from allocating
          ku_free(h, p);
          if (ku_home_unlock(h) != 0) ++*errors;
        } else {
          int r = ku_home_trylock(h);
          if (r == 0) {
            ku_home_unlock(h);
          } else if (r != EBUSY) {
            ++*errors;
          }
        }
    }
  }
  for (const Block &b : mine) ku_free(h, b.p);
}

TEST(Threads, threads_share_one_threadsafe_home) {
  ku_home_t *h = threadsafe_home();
  ku_home_init_stats(h);
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; t++) threads.emplace_back(churn, h, 11 + t, 20000, &errors);
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(errors.load(), 0);
  EXPECT_HOME_OK(h);
  EXPECT_EQ(h->kuh_blocks->kub_used, 0u);
  ku_home_stats_t s;
  ku_home_get_stats(h, 0, &s, sizeof s);
  EXPECT_EQ(s.kst_live_count, 0u);
  EXPECT_EQ(s.kst_live_bytes, 0u);
  EXPECT_EQ(s.kst_alloc_count, s.kst_free_count);
  EXPECT_EQ(ku_home_unref(h), 1);
}

TEST(Threads, trylock_is_busy_while_another_thread_holds_the_user_mutex) {
  ku_home_t *h = threadsafe_home();
  void *lock = h->kuh_lock;
  EXPECT_EQ(ku_home_threadsafe(h), 0);  // a second call keeps the first lock
  EXPECT_EQ(h->kuh_lock, lock);
  EXPECT_EQ(ku_home_is_threadsafe(h), 1);
  std::promise<void> held, release;
  std::shared_future<void> release_f = release.get_future().share();
  std::thread holder([&] {
    EXPECT_EQ(ku_home_lock(h), 0);
    held.set_value();
    release_f.wait();
    EXPECT_EQ(ku_home_unlock(h), 0);
  });
  held.get_future().wait();
  EXPECT_EQ(ku_home_trylock(h), EBUSY);
  void *p = nullptr;
  std::thread third([&] { p = ku_alloc(h, 64); });
  third.join();
  EXPECT_NE(p, nullptr);
  EXPECT_EQ(ku_in_home(h, p), 1);
  release.set_value();
  holder.join();
  EXPECT_EQ(ku_home_trylock(h), 0);
  EXPECT_EQ(ku_home_unlock(h), 0);
  ku_home_unref(h);
}

std::atomic<int> ended{0};
void mark_ended(void *) { ++ended; }

TEST(Threads, last_mutex_unlock_ends_a_home_its_owner_let_go) {
  ended = 0;
  ku_home_t *h = threadsafe_home();
  ku_alloc(h, 100);
  ku_home_clone(h, 24);
  ku_home_destructor(h, mark_ended);
  std::promise<void> locked, owner_done;
  std::thread user([&] {
    EXPECT_EQ(ku_home_mutex_lock(h), 0);
    locked.set_value();
    owner_done.get_future().wait();
    ku_alloc(h, 10);  // still alive on the user's reference
    EXPECT_EQ(ended.load(), 0);
    EXPECT_EQ(ku_home_mutex_unlock(h), 0);  // releases the mutex, then ends the home
    EXPECT_EQ(ended.load(), 1);
  });
  locked.get_future().wait();
  EXPECT_EQ(ku_home_refcount(h), 2u);
  EXPECT_EQ(ku_home_trylock(h), EBUSY);
  EXPECT_EQ(ku_home_unref(h), 0);
  owner_done.set_value();
  user.join();
  EXPECT_EQ(ended.load(), 1);
}

// Runs allocator operations on the dying home: its lock is held by the teardown, so any of
// them taking it again would deadlock.
void busy_destructor(void *home) {
  auto *h = static_cast<ku_home_t *>(home);
  void *p = ku_alloc(h, 32);
  ku_in_home(h, p);
  ku_free(h, p);
  for (int i = 0; i < 40; i++) ku_alloc(h, 8);  // replaces the table on the way
  ku_home_clone(h, 24);
  ku_home_refcount(h);
  ++ended;
}

TEST(Threads, destructor_that_allocates_in_a_dying_threadsafe_home_does_not_deadlock) {
  ended = 0;
  ku_home_t *h = threadsafe_home();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 24));
  ASSERT_EQ(ku_home_threadsafe(sub), 0);
  ku_home_destructor(sub, busy_destructor);
  ku_home_destructor(h, busy_destructor);
  std::thread([h] { EXPECT_EQ(ku_home_unref(h), 1); }).join();
  EXPECT_EQ(ended.load(), 2);

  ku_home_t home{};
  ku_home_init(&home);
  ku_home_threadsafe(&home);
  ku_home_destructor(&home, busy_destructor);
  ku_home_deinit(&home);
  EXPECT_EQ(home.kuh_lock, nullptr);
  EXPECT_EQ(ended.load(), 3);
}

ku_home_t *threadsafe_clone(ku_home_t *parent) {
  auto *h = static_cast<ku_home_t *>(ku_home_clone(parent, 24));
  EXPECT_EQ(ku_home_threadsafe(h), 0);
  return h;
}

// While one thread's allocations replace a shared home's table, another asks for its parent,
// takes and drops its user mutex, and moves between two of its sub-homes (the test for a
// destination below the source walks up through it): none of them may read the table unlocked.
TEST(Threads, queries_beside_an_allocation_that_replaces_the_table) {
  ku_home_t *top = threadsafe_home();
  std::atomic<int> errors{0};
  for (int round = 0; round < 10; round++) {
    ku_home_t *h = threadsafe_clone(top), *a = threadsafe_clone(h), *b = threadsafe_clone(h);
    std::atomic<bool> grown{false};
    std::thread grower([&] {
      for (int i = 0; i < 400; i++) ku_alloc(h, 8);  // 31 slots to 127, then 511
      grown = true;
    });
    while (!grown) {
      if (ku_home_parent(h) != top || ku_home_mutex_lock(h) || ku_home_mutex_unlock(h)) ++errors;
      if (!ku_alloc(a, 8) || ku_home_move(b, a) != 0) ++errors;
    }
    grower.join();
    EXPECT_EQ(ku_home_unref(h), 1);
  }
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(ku_home_unref(top), 1);
}

// One thread moves a sub-home's blocks into its parent again and again, while another checks,
// reports, allocates and frees in the parent, and a third moves between two unrelated homes
// both ways: every move locks in the order that the other operations use, so none deadlocks.
TEST(Threads, moves_into_a_parent_beside_checks_and_reports_of_it) {
  constexpr int kRounds = 2000;
  ku_home_t *parent = threadsafe_home(), *child = threadsafe_clone(parent);
  ku_home_t *x = threadsafe_home(), *y = threadsafe_home();
  FILE *devnull = fopen("/dev/null", "w");
  std::atomic<bool> stop{false};
  std::atomic<int> errors{0};
  std::thread mover([&] {
    ku_home_t *nest = ku_home_create();  // fills sub-homes without lock before they are shared
    for (int i = 0; i < kRounds; i++) {
      void *p = ku_alloc(child, 16);
      if (i % 16 == 0) {
        ku_alloc(static_cast<ku_home_t *>(ku_home_clone(nest, 24)), 8);
        if (ku_home_move(child, nest) != 0) ++errors;
      }
      if (ku_home_move(parent, child) != 0) ++errors;
      ku_free(parent, p);
    }
    ku_home_unref(nest);
  });
  std::thread user([&] {
    for (int i = 0; i < kRounds / 2; i++) {
      void *p = ku_alloc(parent, 32);
      ku_home_check(parent);
      if (ku_home_report(parent, devnull) != 0) ++errors;
      ku_free(parent, p);
    }
  });
  std::thread swapper([&] {
    for (bool back = false; !stop; back = !back) {
      ku_home_t *from = back ? y : x, *to = back ? x : y;
      void *p = ku_alloc(from, 8);
      if (!p || ku_home_move(to, from) != 0) ++errors;
      // Freed again, so the homes stay small: a move of everything they ever held would cost
      // more each round, and starve the other threads of the move mutex under a slow build.
      ku_free(to, p);
    }
  });
  mover.join();
  user.join();
  stop = true;
  swapper.join();
  fclose(devnull);
  EXPECT_EQ(errors.load(), 0);
  EXPECT_HOME_OK(parent);
  EXPECT_EQ(ku_home_unref(parent) + ku_home_unref(x) + ku_home_unref(y), 3);
}

// Sibling homes under one thread-safe parent.  Producers allocate in `in` and never touch
// their blocks again; a mover hands everything from `in` to `mid`; a drainer hands `mid` over
// to a fresh sub-home and ends it.  Moves always run in->mid->drain, so their locks are taken
// in one order.  Workers churn their own blocks in `own` meanwhile.
TEST(Threads, soak_of_moves_between_sibling_homes) {
  constexpr int kRounds = 10000;
  ku_home_t *top = threadsafe_home();
  ku_home_init_stats(top);
  auto sibling = [top] {
    ku_home_t *s = threadsafe_clone(top);
    ku_home_init_stats(s);
    return s;
  };
  ku_home_t *in = sibling(), *mid = sibling(), *own = sibling();
  std::atomic<bool> stop{false};
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;

  for (int t = 0; t < 2; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; i++) {
        if (!ku_alloc(in, 1 + (i * 7 + t) % 300)) ++errors;
        if (i % 50 == 0 && !ku_home_clone(in, 24)) ++errors;
        if (i % 100 == 0) {
          ku_home_stats_t s;
          ku_home_get_stats(in, 0, &s, sizeof s);
          if (s.kst_alloc_count == 0) ++errors;
        }
      }
    });
  threads.emplace_back([&] {
    while (!stop) {
      if (ku_home_move(mid, in) != 0) ++errors;
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      auto *drain = static_cast<ku_home_t *>(ku_home_clone(top, 24));
      if (!drain || ku_home_move(drain, mid) != 0) ++errors;
      ku_home_check(drain);
      if (ku_home_unref(drain) != 1) ++errors;
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < 2; t++) workers.emplace_back(churn, own, 40 + t, kRounds, &errors);

  threads[0].join();
  threads[1].join();
  for (std::thread &w : workers) w.join();
  stop = true;
  threads[2].join();
  threads[3].join();

  EXPECT_EQ(errors.load(), 0);
  EXPECT_HOME_OK(top);
  EXPECT_EQ(own->kuh_blocks->kub_used, 0u);
  ku_home_stats_t s;
  ku_home_get_stats(in, 0, &s, sizeof s);
  // Moved blocks stay counted in their source.
  EXPECT_EQ(s.kst_alloc_count, 2u * (kRounds + kRounds / 50));
  EXPECT_EQ(s.kst_subhomes, 2u * kRounds / 50);
  ku_home_get_stats(top, 0, &s, sizeof s);
  EXPECT_EQ(s.kst_subhomes, s.kst_live_count + s.kst_free_count);
  EXPECT_EQ(ku_home_unref(top), 1);
}

// ---- Homes without mutexes ----

TEST(Lock, answers_without_mutexes) {
  ku_home_t *h = ku_home_create();
  errno = 0;
  EXPECT_EQ(ku_home_threadsafe(nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(ku_home_is_threadsafe(nullptr), 0);
  EXPECT_EQ(ku_home_is_threadsafe(h), 0);
  errno = 0;
  EXPECT_EQ(ku_home_lock(nullptr), EFAULT);
  EXPECT_EQ(ku_home_trylock(nullptr), EFAULT);
  EXPECT_EQ(ku_home_unlock(nullptr), EFAULT);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(ku_home_lock(h), -1);
  EXPECT_EQ(ku_home_mutex_lock(h), 0);
  EXPECT_EQ(ku_home_refcount(h), 2u);
  EXPECT_EQ(ku_home_mutex_unlock(h), 0);
  EXPECT_EQ(ku_home_refcount(h), 1u);
  ku_home_t none{};
  errno = 0;
  EXPECT_EQ(ku_home_mutex_lock(&none), -1);
  EXPECT_EQ(errno, EINVAL);
  ku_home_unref(h);
}

}  // namespace
