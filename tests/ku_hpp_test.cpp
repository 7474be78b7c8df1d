// SPDX-License-Identifier: MIT
// The C++ layer: ownership of references by the handles, the user-mutex guard, the automatic
// home in a member buffer, and std::pmr containers that allocate in a home.  Under the asan
// preset, LeakSanitizer checks that whatever a home held ended with it.
#include <gtest/gtest.h>
#include <ku/ku.hpp>
#include <ku/ku_alloc_stat.h>

#include "ku_test_util.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory_resource>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

// Counts how often a home's destructor ran: the sign that the home ended.
int ended = 0;
void count_end(void *) { ++ended; }

ku_home_t *watched_home() {
  ended = 0;
  ku_home_t *home = ku_home_create();
  EXPECT_NE(home, nullptr);
  EXPECT_EQ(ku_home_destructor(home, count_end), 0);
  return home;
}

bool inside(const void *p, const void *object, std::size_t size) {
  auto a = reinterpret_cast<std::uintptr_t>(p);
  auto start = reinterpret_cast<std::uintptr_t>(object);
  return start <= a && a < start + size;
}

// ---- unique_home ----

TEST(UniqueHome, destruction_drops_its_reference_and_ends_the_home) {
  {
    ku::unique_home home(watched_home());
    ASSERT_NE(ku_alloc(home.get(), 100), nullptr);
  }
  EXPECT_EQ(ended, 1);
}

TEST(UniqueHome, leaves_other_references_alone) {
  ku_home_t *raw = watched_home();
  ku_home_ref(raw);
  { ku::unique_home home(raw); }
  EXPECT_EQ(ended, 0);
  EXPECT_EQ(ku_home_refcount(raw), 1u);
  EXPECT_EQ(ku_home_unref(raw), 1);
  EXPECT_EQ(ended, 1);
}

TEST(UniqueHome, move_transfers_ownership_once) {
  ku::unique_home a(watched_home());
  ku::unique_home b(std::move(a));
  EXPECT_FALSE(a);
  ASSERT_TRUE(b);
  ku::unique_home c;
  c = std::move(b);
  EXPECT_FALSE(b);
  EXPECT_EQ(ended, 0);
  c.reset();
  EXPECT_EQ(ended, 1);
}

TEST(UniqueHome, clone_is_freed_through_its_parent) {
  ku::unique_home parent = ku::unique_home::create();
  ku::unique_home child = ku::unique_home::clone(parent.get(), 64);
  ASSERT_TRUE(child);
  EXPECT_EQ(ku_home_parent(child.get()), parent.get());
  EXPECT_EQ(ku_in_home(parent.get(), child.get()), 1);
  ku_home_t *raw = child.get();
  child.reset();
  EXPECT_EQ(ku_in_home(parent.get(), raw), 0);
}

TEST(UniqueHome, takes_a_name) {
  ku::unique_home server = ku::unique_home::create("server");
  ku::unique_home request = ku::unique_home::clone(server.get(), "request", 64);
  EXPECT_STREQ(ku_home_name(server.get()), "server");
  EXPECT_STREQ(ku_home_name(request.get()), "request");
  EXPECT_EQ(request.get()->kuh_size, 64);
}

TEST(UniqueHome, ends_a_callers_home_without_freeing_the_record) {
  ku_home_t record{};
  ASSERT_EQ(ku_home_init(&record), 0);
  ASSERT_NE(ku_alloc(&record, 32), nullptr);
  { ku::unique_home home(&record); }
  EXPECT_EQ(record.kuh_blocks, nullptr);
}

// ---- shared_home ----

TEST(SharedHome, copies_hold_references_and_the_last_one_ends_the_home) {
  ku::shared_home a(watched_home());
  {
    ku::shared_home b = a;
    ku::shared_home c;
    c = b;
    EXPECT_EQ(a.use_count(), 3u);
  }
  EXPECT_EQ(a.use_count(), 1u);
  EXPECT_EQ(ended, 0);
  a.reset();
  EXPECT_EQ(ended, 1);
}

TEST(SharedHome, self_assignment_keeps_the_count) {
  ku::shared_home a(watched_home());
  ku::shared_home &same = a;
  a = same;
  EXPECT_EQ(a.use_count(), 1u);
  a = std::move(same);
  EXPECT_EQ(a.use_count(), 1u);
  EXPECT_TRUE(a);
}

TEST(SharedHome, takes_over_a_unique_homes_reference) {
  ku::unique_home owner(watched_home());
  ku::shared_home shared(std::move(owner));
  EXPECT_FALSE(owner);
  EXPECT_EQ(shared.use_count(), 1u);
}

TEST(SharedHome, share_adds_a_reference_to_a_held_home) {
  ku_home_t *raw = watched_home();
  {
    ku::shared_home extra = ku::shared_home::share(raw);
    EXPECT_EQ(ku_home_refcount(raw), 2u);
  }
  EXPECT_EQ(ku_home_refcount(raw), 1u);
  ku_home_unref(raw);
  EXPECT_EQ(ended, 1);
}

// ---- home_mutex_guard ----

TEST(HomeMutexGuard, holds_the_user_mutex_for_its_scope) {
  ku::unique_home home = ku::unique_home::create();
  ASSERT_EQ(ku_home_threadsafe(home.get()), 0);
  {
    ku::home_mutex_guard guard(home.get());
    int busy = -1;
    std::thread([&] { busy = ku_home_trylock(home.get()); }).join();
    EXPECT_EQ(busy, EBUSY);
    EXPECT_NE(ku_alloc(home.get(), 10), nullptr);  // the internal mutex is another one
  }
  EXPECT_EQ(ku_home_trylock(home.get()), 0);
  EXPECT_EQ(ku_home_unlock(home.get()), 0);
}

TEST(HomeMutexGuard, keeps_the_home_alive_after_its_owner_let_go) {
  ku_home_t *raw = watched_home();
  ASSERT_EQ(ku_home_threadsafe(raw), 0);
  {
    ku::home_mutex_guard guard(raw);
    EXPECT_EQ(ku_home_unref(raw), 0);
    EXPECT_EQ(ended, 0);
  }
  EXPECT_EQ(ended, 1);
}

TEST(HomeMutexGuard, references_a_home_without_mutexes) {
  ku::unique_home home = ku::unique_home::create();
  {
    ku::home_mutex_guard guard(home.get());
    EXPECT_EQ(ku_home_refcount(home.get()), 2u);
  }
  EXPECT_EQ(ku_home_refcount(home.get()), 1u);
}

TEST(HomeMutexGuard, failures_throw_with_the_error_number) {
  try {
    ku::home_mutex_guard guard(nullptr);
    FAIL() << "a null home was locked";
  } catch (const std::system_error &e) {
    EXPECT_EQ(e.code().value(), EFAULT);
  }
  ku_home_t no_table{};
  try {
    ku::home_mutex_guard guard(&no_table);
    FAIL() << "a home without table was locked";
  } catch (const std::system_error &e) {
    EXPECT_EQ(e.code().value(), EINVAL);
  }
}

// ---- auto_home ----

TEST(AutoHome, carves_small_blocks_from_its_own_buffer) {
  ku::auto_home<1024> home;
  ASSERT_NE(home.get(), nullptr);
  void *p = ku_alloc(home.get(), 16);
  EXPECT_TRUE(inside(home.get(), &home, sizeof home));
  EXPECT_TRUE(inside(p, &home, sizeof home));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 8, 0u);
}

TEST(AutoHome, ends_with_its_scope_and_frees_heap_blocks) {
  ended = 0;
  {
    ku::auto_home<256> home;
    ASSERT_EQ(ku_home_destructor(home.get(), count_end), 0);
    for (int i = 0; i < 10; ++i)  // outgrows both the 7-slot table and the buffer
      ASSERT_NE(ku_alloc(home.get(), 100), nullptr);
  }
  EXPECT_EQ(ended, 1);
}

TEST(AutoHome, tolerates_an_earlier_end) {
  ku::auto_home<512> home;
  ASSERT_NE(ku_alloc(home.get(), 1000), nullptr);
  EXPECT_EQ(ku_home_unref(home.get()), 1);
}

// ---- home_resource ----

TEST(HomeResource, pmr_containers_allocate_in_the_home) {
  ku::unique_home home = ku::unique_home::create();
  ku::home_resource resource(home.get());
  std::pmr::vector<int> numbers(&resource);
  for (int i = 0; i < 1000; ++i) numbers.push_back(i);
  std::pmr::string text("longer than any small-string buffer could hold", &resource);
  std::pmr::map<std::pmr::string, int> index(&resource);
  index.emplace("one", 1);
  index.emplace("a key long enough to need its own block", 2);

  EXPECT_EQ(ku_in_home(home.get(), numbers.data()), 1);
  EXPECT_EQ(ku_in_home(home.get(), text.data()), 1);
  EXPECT_EQ(ku_in_home(home.get(), index.begin()->first.data()), 1);
  EXPECT_EQ(numbers[999], 999);
  EXPECT_EQ(index.at("one"), 1);
}

TEST(HomeResource, released_blocks_leave_the_home) {
  ku::unique_home home = ku::unique_home::create();
  ku::home_resource resource(home.get());
  const void *old;
  {
    std::pmr::vector<char> bytes(5000, 'x', &resource);
    old = bytes.data();
    EXPECT_EQ(ku_in_home(home.get(), old), 1);
  }
  EXPECT_EQ(ku_in_home(home.get(), old), 0);
  ku_home_check(home.get());
}

TEST(HomeResource, containers_left_in_the_home_end_with_it) {
  // Nothing here is destroyed one by one: the home takes the map, its nodes and its strings.
  ku_home_t *home = ku_home_create();
  auto *resource = new (ku_alloc(home, sizeof(ku::home_resource))) ku::home_resource(home);
  using Map = std::pmr::map<std::pmr::string, std::pmr::vector<int>>;
  auto *map = new (ku_alloc(home, sizeof(Map))) Map(resource);
  for (int i = 0; i < 200; ++i)
    (*map)[std::pmr::string("key number " + std::to_string(i), resource)].assign(50, i);
  EXPECT_EQ(map->size(), 200u);
  EXPECT_EQ(ku_home_unref(home), 1);
}

TEST(HomeResource, honours_alignments_beyond_what_the_home_gives) {
  ku::auto_home<4096> home;  // carved blocks are only 8-aligned
  ku::home_resource resource(home.get());
  for (std::size_t alignment : {16u, 32u, 64u, 4096u}) {
    void *p = resource.allocate(24, alignment);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignment, 0u) << alignment;
    std::memset(p, 0x5a, 24);
    resource.deallocate(p, 24, alignment);
  }
  ku_home_check(home.get());
}

ku_home_stats_t stats_of(ku_home_t *home) {
  ku_home_stats_t st{};
  ku_home_get_stats(home, 0, &st, sizeof st);
  return st;
}

// The sanitizers' realloc moves every block it resizes, so a home_resource there keeps its
// over-aligned blocks whole; glibc's shrinks a block where it lies.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kReallocMoves = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kReallocMoves = true;
#else
constexpr bool kReallocMoves = false;
#endif
#else
constexpr bool kReallocMoves = false;
#endif

TEST(HomeResource, over_aligned_blocks_keep_less_than_64_unused_bytes) {
  ku::unique_home home = ku::unique_home::create();
  ku_home_init_stats(home.get());
  ku::home_resource resource(home.get());
  for (std::size_t alignment : {16u, 64u, 128u, 4096u}) {
    char *p = static_cast<char *>(resource.allocate(1000, alignment));
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignment, 0u);
    std::memset(p, 0x5a, 1000);
    const char *raw = static_cast<char **>(static_cast<void *>(p))[-1];
    ASSERT_EQ(ku_in_home(home.get(), raw), 1) << alignment;
    const auto used = static_cast<uint64_t>(p - raw) + 1000;
    ku_home_stats_t st = stats_of(home.get());
    EXPECT_EQ(st.kst_live_count, 1u);
    EXPECT_GE(st.kst_live_bytes, used) << alignment;
    if (kReallocMoves)
      EXPECT_TRUE(st.kst_live_bytes < used + 64 || st.kst_live_bytes == 1000 + alignment);
    else
      EXPECT_LT(st.kst_live_bytes, used + 64) << alignment;
    resource.deallocate(p, 1000, alignment);
    EXPECT_EQ(stats_of(home.get()).kst_live_count, 0u);
  }
  ku_home_check(home.get());
}

// A map and an unordered map of n elements with 40-character keys, every second one erased.
template <class Map, class Hash> void churn(Map &by_key, Hash &by_number, int n) {
  for (int i = 0; i < n; ++i) {
    std::string key = "a key of forty characters, number " + std::to_string(100000 + i);
    by_key.emplace(key, i);
    by_number.emplace(i, key);
  }
  for (int i = 0; i < n; i += 2) {
    by_key.erase(by_key.find(by_number.at(i)));
    by_number.erase(i);
  }
}

using KeyMap = std::pmr::map<std::pmr::string, int>;
using NumberMap = std::pmr::unordered_map<int, std::pmr::string>;

TEST(HomeResource, a_pool_over_a_home_gives_its_chunks_back_when_destroyed) {
  ku::unique_home home = ku::unique_home::create();
  ku_home_init_stats(home.get());
  ku::home_resource in_home(home.get());
  {
    std::pmr::unsynchronized_pool_resource pool(&in_home);
    KeyMap by_key(&pool);
    NumberMap by_number(&pool);
    churn(by_key, by_number, 2000);
    ku_home_stats_t st = stats_of(home.get());
    // The pool asks the home for chunks, not for each of the thousands of blocks.
    EXPECT_GT(st.kst_live_count, 0u);
    EXPECT_LT(st.kst_live_count, 200u);
    EXPECT_GT(st.kst_live_bytes, 1000u * 40);
    EXPECT_EQ(ku_in_home(home.get(), by_key.begin()->first.data()), 0);
  }
  EXPECT_EQ(stats_of(home.get()).kst_live_count, 0u);
  ku_home_check(home.get());
}

uint64_t live_at_end = 0;
void note_live_blocks(void *home) {
  live_at_end = stats_of(static_cast<ku_home_t *>(home)).kst_live_count;
}

TEST(HomeResource, ending_a_parent_home_frees_a_pools_chunks) {
  // Nothing here is destroyed: the resource, the pool and both maps lie in memory of the
  // sub-home or of its pool, and ending the parent takes them all.  Under the asan preset,
  // LeakSanitizer checks that no chunk outlived the homes.
  ku::unique_home parent = ku::unique_home::create();
  auto *home = static_cast<ku_home_t *>(ku_home_clone(parent.get(), sizeof(ku_home_t)));
  ASSERT_NE(home, nullptr);
  ku_home_init_stats(home);
  ASSERT_EQ(ku_home_destructor(home, note_live_blocks), 0);
  auto *in_home = new (ku_alloc(home, sizeof(ku::home_resource))) ku::home_resource(home);
  using Pool = std::pmr::unsynchronized_pool_resource;
  auto *pool = new (ku_alloc(home, sizeof(Pool))) Pool(in_home);
  auto *by_key = new (pool->allocate(sizeof(KeyMap), alignof(KeyMap))) KeyMap(pool);
  auto *by_number = new (pool->allocate(sizeof(NumberMap), alignof(NumberMap))) NumberMap(pool);
  churn(*by_key, *by_number, 2000);
  const uint64_t live = stats_of(home).kst_live_count;
  EXPECT_GT(live, 2u);  // the two objects and the pool's chunks

  live_at_end = 0;
  parent.reset();
  EXPECT_EQ(live_at_end, live);
}

TEST(HomeResource, small_alignments_use_the_block_as_is) {
  ku::auto_home<1024> home;
  ku::home_resource resource(home.get());
  void *p = resource.allocate(40, 8);
  EXPECT_EQ(ku_in_home(home.get(), p), 1);
  EXPECT_TRUE(inside(p, &home, sizeof home));
  resource.deallocate(ku_test::opaque(p), 40, 8);  // hidden: p is looked up below
  EXPECT_EQ(ku_in_home(home.get(), p), 0);
}

TEST(HomeResource, zero_bytes_still_give_a_block) {
  ku::unique_home home = ku::unique_home::create();
  ku::home_resource resource(home.get());
  void *p = resource.allocate(0, 1);
  ASSERT_NE(p, nullptr);
  resource.deallocate(p, 0, 1);
}

TEST(HomeResource, refuses_sizes_a_home_cannot_hold) {
  ku::unique_home home = ku::unique_home::create();
  ku::home_resource resource(home.get());
  const std::size_t too_big = static_cast<std::size_t>(INT_MAX) + 1;
  std::size_t odd_alignment = 24;
  EXPECT_THROW(static_cast<void>(resource.allocate(too_big, 8)), std::bad_alloc);
  EXPECT_THROW(static_cast<void>(resource.allocate(static_cast<std::size_t>(INT_MAX) - 8, 64)),
               std::bad_alloc);
  EXPECT_THROW(static_cast<void>(resource.allocate(16, odd_alignment)), std::bad_alloc);
}

TEST(HomeResource, equality_is_sameness_of_the_home) {
  ku::unique_home one = ku::unique_home::create();
  ku::unique_home two = ku::unique_home::create();
  ku::home_resource a(one.get()), b(one.get()), c(two.get());
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == c);
  EXPECT_FALSE(a == *std::pmr::new_delete_resource());
}

TEST(MakeArray, value_initialised_items_in_one_block_or_null_with_enomem) {
  struct Item {
    int count = 3;
    const char *name = nullptr;
  };
  ku::unique_home home = ku::unique_home::create();
  Item *items = ku::make_array<Item>(home.get(), 10);
  ASSERT_NE(items, nullptr);
  EXPECT_EQ(ku_in_home(home.get(), items), 1);
  for (int i = 0; i < 10; i++) EXPECT_TRUE(items[i].count == 3 && items[i].name == nullptr);
  volatile std::size_t overflowing = SIZE_MAX / sizeof(Item) + 2;
  errno = 0;
  EXPECT_EQ(ku::make_array<Item>(home.get(), overflowing), nullptr);
  EXPECT_EQ(errno, ENOMEM);
}

#ifndef NDEBUG
TEST(HomeResourceDeathTest, returning_a_foreign_block_aborts) {
  ku::unique_home home = ku::unique_home::create();
  ku::home_resource resource(home.get());
  int outsider = 0;
  // Hidden from the compiler, which would refuse to free an object on the stack.
  void *foreign = ku_test::opaque(static_cast<void *>(&outsider));
  EXPECT_DEATH(resource.deallocate(foreign, sizeof outsider, alignof(int)),
               "ku_free: the address is not an allocation of this home");
}
#endif

}  // namespace
