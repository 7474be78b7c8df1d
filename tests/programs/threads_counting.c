/* SPDX-License-Identifier: MIT */
/* The lookup counters in a program whose worker threads each use a home of their own, while
 * the main thread keeps looking up in its own: once the workers are joined and the main thread
 * has looked up once more, every counter holds the exact sum of all lookups, with the collision
 * triple of one lookup.  Then the same again (the counters went back to one writer and leave
 * it a second time), and a child forked while the workers wait counts exactly at once.  Built
 * against libku.so and against libku.a.  Exits 0 when every check held. */
#include <ku/ku_alloc.h>

#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kThreads = 4, kHits = 20000, kBlocks = 20 };

static int failed;
static atomic_int workers_done;
static pthread_barrier_t parked, released;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      failed = 1;                                                        \
    }                                                                    \
  } while (0)

/* A home of kBlocks blocks in a table of 31 slots: each lookup of the first block, which lies in
 * its start slot, adds 31 and kBlocks and no probe step. */
static ku_home_t *home_of_blocks(void **blocks) {
  ku_home_t *h = ku_home_create();
  for (int i = 0; i < kBlocks; i++) blocks[i] = ku_alloc(h, 16);
  return h;
}

/* kHits lookups that hit at once, one miss in a table of 127 slots holding 30 entries (the longest
 * probe run of all, 127 steps), then parks at the barrier when asked to. */
static void *worker(void *arg) {
  const int park = arg != NULL;
  void *blocks[kBlocks], *big[30];
  ku_home_t *h = home_of_blocks(blocks);
  for (int i = 0; i < kHits; i++) ku_in_home(h, blocks[0]);
  ku_home_t *wide = ku_home_create();
  for (int i = 0; i < 30; i++) big[i] = ku_alloc(wide, 16);
  int foreign;
  ku_in_home(wide, &foreign);
  ku_home_unref(wide);
  ku_home_unref(h);
  atomic_fetch_add(&workers_done, 1);
  if (park) {
    pthread_barrier_wait(&parked);
    pthread_barrier_wait(&released);
  }
  (void)big;
  return NULL;
}

static void reset(void) {
  count_ku_block_find = size_ku_block_find = used_ku_block_find = 0;
  max_size_ku_block_find = max_used_ku_block_find = count_ku_block_find_loop = 0;
  ku_block_find_collision = ku_block_find_collision_used = ku_block_find_collision_size = 0;
}

/* One round: the workers run while the main thread looks up in its own home, then are joined. */
static void round_of_workers(ku_home_t *own, void **mine) {
  reset();
  atomic_store(&workers_done, 0);
  pthread_t t[kThreads];
  for (int i = 0; i < kThreads; i++) pthread_create(&t[i], NULL, worker, NULL);
  uint64_t main_hits = 0;
  while (atomic_load(&workers_done) < kThreads) ku_in_home(own, mine[0]), main_hits++;
  for (int i = 0; i < kThreads; i++) pthread_join(t[i], NULL);
  /* The joined workers' lookups are all in; the main thread's own arrive with its next one. */
  const uint64_t workers = kThreads * (kHits + 1);
  CHECK(count_ku_block_find >= workers);
  ku_in_home(own, mine[0]);
  main_hits++;
  CHECK(count_ku_block_find == workers + main_hits);
  CHECK(size_ku_block_find == 31 * (kThreads * kHits + main_hits) + 127 * kThreads);
  CHECK(used_ku_block_find == kBlocks * (kThreads * kHits + main_hits) + 30 * kThreads);
  CHECK(max_size_ku_block_find == 127 && max_used_ku_block_find == 30);
  CHECK(count_ku_block_find_loop == 127 * kThreads);
  CHECK(ku_block_find_collision == 127 && ku_block_find_collision_used == 30 &&
        ku_block_find_collision_size == 127);
  /* One writer again: exact after each call. */
  ku_in_home(own, mine[0]);
  CHECK(count_ku_block_find == workers + main_hits + 1);
}

int main(void) {
  void *mine[kBlocks];
  ku_home_t *own = home_of_blocks(mine);
  reset();
  ku_in_home(own, mine[0]);
  CHECK(count_ku_block_find == 1 && size_ku_block_find == 31 && used_ku_block_find == kBlocks);

  round_of_workers(own, mine);
  round_of_workers(own, mine);

  /* fork() while workers that looked up are alive: the child's one thread counts exactly. */
  pthread_barrier_init(&parked, NULL, kThreads + 1);
  pthread_barrier_init(&released, NULL, kThreads + 1);
  pthread_t t[kThreads];
  for (int i = 0; i < kThreads; i++) pthread_create(&t[i], NULL, worker, &parked);
  pthread_barrier_wait(&parked);
  ku_in_home(own, mine[0]);
  const pid_t pid = fork();
  if (pid == 0) {
    reset();
    ku_in_home(own, mine[0]);
    ku_in_home(own, mine[0]);
    _exit(count_ku_block_find == 2 && size_ku_block_find == 62 ? 0 : 1);
  }
  int status = 1;
  CHECK(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0);
  pthread_barrier_wait(&released);
  for (int i = 0; i < kThreads; i++) pthread_join(t[i], NULL);
  ku_home_unref(own);
  return failed;
}
