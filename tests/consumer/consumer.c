/* SPDX-License-Identifier: MIT */
/* A small C11 program built against an installed ku, once through pkg-config and once through
 * find_package(ku).  It exits with 0 and prints "consumer: ok" when every check holds. */
#define _POSIX_C_SOURCE 200809L

#include <ku/ku.h>
#include <ku/ku_log.h>

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "consumer: %s\n", what);
    ++failures;
  }
}

int main(void) {
  struct addrinfo hints;
  struct addrinfo *list = NULL;
  char host[64];
  char port[16];
  int rc;

  check(ku_init() == 0, "ku_init did not return 0");

  memset(&hints, 0, sizeof hints);
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  rc = ku_getaddrinfo("127.0.0.1", "8080", &hints, &list);
  check(rc == 0, "lookup of 127.0.0.1 failed");
  if (rc == 0) {
    check(list != NULL && list->ai_protocol == IPPROTO_TCP, "stream entry has no TCP protocol");
    rc = ku_getnameinfo(list->ai_addr, list->ai_addrlen, host, sizeof host, port, sizeof port,
                        NI_NUMERICHOST | NI_NUMERICSERV);
    check(rc == 0 && strcmp(host, "127.0.0.1") == 0 && strcmp(port, "8080") == 0,
          "reverse lookup did not give 127.0.0.1 and 8080");
    ku_freeaddrinfo(list);
  }

  list = NULL;
  rc = ku_getaddrinfo("not-an-address", "8080", &hints, &list);
  check(rc != 0 && list == NULL, "lookup of a name with AI_NUMERICHOST succeeded");
  check(ku_gai_strerror(rc) != NULL && ku_gai_strerror(rc)[0] != '\0', "no resolver message");

  check(ku_seterrno(ENOENT) == -1 && ku_errno() == ENOENT, "error number not kept");
  check(strcmp(ku_strerror(ENOENT), strerror(ENOENT)) == 0, "error text differs from strerror");

  /* The exported log objects are plain data that a C program can read. */
  check(strcmp(ku_log_global.log_name, "ku") == 0, "global log is not named ku");
  check(strcmp(ku_log_default.log_name, "brome") == 0, "default log is not named brome");

  ku_deinit();
  if (failures != 0) return 1;
  puts("consumer: ok");
  return 0;
}
