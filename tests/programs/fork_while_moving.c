/* SPDX-License-Identifier: MIT */
/* fork() while other threads move, steal and grow tables, as a server that forks workers does.
 * Built twice, against libku.so and against libku.a: a child that inherits a lock of the
 * library taken by another thread hangs, and the parent reports it.  Exits 0 when every child
 * ended by itself. */
#define _GNU_SOURCE
#include <ku/ku_alloc.h>

#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static atomic_int stop;

static ku_home_t *shared_home(void) {
  ku_home_t *h = ku_home_create();
  if (!h || ku_home_threadsafe(h) != 0) abort();
  return h;
}

static void fill(ku_home_t *h, int n) {
  for (int i = 0; i < n; i++)
    if (!ku_alloc(h, 24)) abort();
}

/* Moves 40 blocks into a new thread-safe home each round: its table grows to 127 slots from
 * the page pool while the move mutex is held. */
static void *mover(void *arg) {
  ku_home_t *src = arg;
  while (!atomic_load(&stop)) {
    fill(src, 40);
    ku_home_t *dst = shared_home();
    if (ku_home_move(dst, src) != 0) abort();
    ku_home_unref(dst);
  }
  return NULL;
}

/* Steals blocks one by one between two thread-safe homes, growing the receiver's table. */
static void *stealer(void *arg) {
  (void)arg;
  while (!atomic_load(&stop)) {
    ku_home_t *from = shared_home(), *to = shared_home();
    for (int i = 0; i < 100; i++) {
      void *p = ku_alloc(from, 16);
      if (!p || ku_steal(to, from, p) != p) abort();
    }
    ku_home_unref(from);
    ku_home_unref(to);
  }
  return NULL;
}

/* What a forked worker does first: grow a table from the pool, and move. */
static void child(void) {
  ku_home_t *a = shared_home(), *b = shared_home();
  fill(a, 100);
  if (ku_home_move(b, a) != 0) _exit(2);
  ku_home_unref(a);
  ku_home_unref(b);
  _exit(0);
}

/* Prints what a hung child is doing: its scheduler state and kernel wait channel, and its
 * stack when gdb is at hand, so that a hang on a loaded machine can be told from a lock. */
static void report_hung(pid_t pid) {
  char cmd[512];
  snprintf(cmd, sizeof cmd,
           "cat /proc/%d/status | grep -E '^(State|voluntary|nonvoluntary)' >&2; "
           "printf 'wchan: ' >&2; cat /proc/%d/wchan >&2; echo >&2; "
           "command -v gdb >/dev/null && gdb -q -batch -p %d -ex bt 2>&1 | grep -E '^#' >&2",
           (int)pid, (int)pid, (int)pid);
  if (system(cmd) == -1) perror("system");
}

/* Waits up to 30 s for the child, which takes a few milliseconds; one still running then has
 * hung. */
static int wait_child(pid_t pid) {
  for (int i = 0; i < 3000; i++) {
    int status;
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    if (got < 0) {
      perror("waitpid");
      return 5;
    }
    nanosleep(&(struct timespec){0, 10 * 1000 * 1000}, NULL);
  }
  report_hung(pid);
  kill(pid, SIGKILL);
  waitpid(pid, NULL, 0);
  return 4;
}

int main(void) {
  alarm(110); /* a fork() that hangs in the parent ends the test here */
  ku_home_t *src = shared_home();
  pthread_t threads[2];
  pthread_create(&threads[0], NULL, mover, src);
  pthread_create(&threads[1], NULL, stealer, NULL);
  int failed = 0;
  for (int i = 0; i < 100 && !failed; i++) {
    pid_t pid = fork();
    if (pid < 0) abort();
    if (pid == 0) child();
    const int rc = wait_child(pid);
    if (rc != 0) {
      fprintf(stderr, "fork %d: the child %s\n", i, rc == 4 ? "hung" : "failed");
      failed = 1;
    }
  }
  atomic_store(&stop, 1);
  pthread_join(threads[0], NULL);
  pthread_join(threads[1], NULL);
  ku_home_unref(src);
  return failed;
}
