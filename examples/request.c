/* SPDX-License-Identifier: MIT */
/*
 * Requests handled in homes.  Each request gets a home of its own, a sub-home of the server's:
 * whatever it allocates, and the descriptor it opens, goes with one ku_home_unref however the
 * request ends.  Two threads share the server's home, which is made thread-safe first; the
 * message of a failed request outlives the request by moving into the server's home.
 *
 *   cc -std=c11 request.c $(pkg-config --cflags --libs ku) -lpthread -o request
 */
#define _POSIX_C_SOURCE 200809L
#include <ku/ku.h>
#include <ku/ku_alloc.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

struct server {
  ku_home_t *home;      /* thread-safe; lives as long as the server */
  const char *lines[6]; /* the requests that arrive */
  char *failures[6];    /* messages kept in the server's home, under its user mutex */
  int nfailures;
};

/* A request record that begins with its home: the record is the home's own memory. */
struct request {
  ku_home_t home;
  int fd; /* the response goes here; closed when the home ends */
};

static void close_response(void *home) {
  struct request *req = home;
  if (req->fd >= 0) close(req->fd);
}

/* Answers one line such as "GET /index.html"; returns 0, or -1 when memory or descriptors
 * ran out. */
static int handle(struct server *srv, const char *line) {
  struct request *req = ku_home_clone(srv->home, sizeof *req);
  if (req == NULL) return -1;
  req->fd = -1;
  ku_home_destructor(&req->home, close_response);
  req->fd = dup(STDOUT_FILENO); /* stands in for the client's connection */

  const char *blank = strchr(line, ' ');
  char *method = ku_strndup(&req->home, line, blank ? (size_t)(blank - line) : strlen(line));
  char *path = ku_strdup(&req->home, blank ? blank + 1 : "/");
  int status = path != NULL && strcmp(path, "/missing") == 0 ? 404 : 200;
  char *answer = ku_asprintf(&req->home, "%s %s -> %d\n", method, path, status);
  if (method == NULL || path == NULL || answer == NULL || req->fd < 0) {
    ku_home_unref(&req->home);
    return -1;
  }
  if (write(req->fd, answer, strlen(answer)) < 0) status = 500;

  if (status != 200) {
    /* The message is a block of the request's home; ku_steal hands it to the server's. */
    ku_home_lock(srv->home);
    srv->failures[srv->nfailures++] = ku_steal(srv->home, &req->home, answer);
    ku_home_unlock(srv->home);
  }
  ku_home_unref(&req->home); /* frees method, path, the record; closes fd */
  return 0;
}

struct worker {
  struct server *srv;
  int first; /* this thread takes lines first, first + 2, ... */
  int failed;
};

static void *work(void *arg) {
  struct worker *w = arg;
  for (int i = w->first; i < 6; i += 2)
    if (handle(w->srv, w->srv->lines[i]) != 0) w->failed = 1;
  return NULL;
}

int main(void) {
  struct server srv = {.lines = {"GET /index.html", "GET /missing", "HEAD /logo.png", "GET /about",
                                 "POST /form", "GET /"}};
  struct worker workers[2] = {{&srv, 0, 0}, {&srv, 1, 0}};
  pthread_t threads[2];

  ku_init();
  srv.home = ku_home_create();
  if (srv.home == NULL || ku_home_threadsafe(srv.home) != 0) return 1;
  for (int i = 0; i < 2; i++)
    if (pthread_create(&threads[i], NULL, work, &workers[i]) != 0) return 1;
  for (int i = 0; i < 2; i++) pthread_join(threads[i], NULL);

  printf("%d failed:\n", srv.nfailures);
  for (int i = 0; i < srv.nfailures; i++) printf("  %s", srv.failures[i]);
  ku_home_unref(srv.home); /* frees the kept messages too */
  ku_deinit();
  return workers[0].failed || workers[1].failed || srv.nfailures != 1;
}
