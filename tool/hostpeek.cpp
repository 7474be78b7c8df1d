// SPDX-License-Identifier: MIT
// hostpeek: print the socket addresses that the system resolver returns for a service on a host,
// one line per IPv4 or IPv6 result: protocol@[address]:port, optionally with the canonical name.
#include <ku/ku.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern const char help[];
const char help[] =
    "usage: hostpeek [-pnc46] <servicename> <domainname>\n"
    "\t-p query for passive open\n"
    "\t-n use numeric host names\n"
    "\t-c ask for canonic names\n"
    "\t-4 IPv4 only\n"
    "\t-6 IPv6 only (but including mapped IPv4 addresses)\n";
static_assert(sizeof help == 199, "the usage text is 198 characters and its NUL");

namespace {

[[noreturn]] void usage() {
  fwrite(help, 1, sizeof help - 1, stderr);
  exit(1);
}

void print_entry(const struct addrinfo *ai) {
  if (ai->ai_addr == nullptr) return;
  const sa_family_t family = ai->ai_addr->sa_family;
  if (family != AF_INET && family != AF_INET6) return;

  // sin_port and sin6_port sit at the same offset, so the port needs no family switch.
  const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ai->ai_addr);
  const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(ai->ai_addr);
  const uint16_t port = ntohs(sin->sin_port);
  const void *address = family == AF_INET ? static_cast<const void *>(&sin->sin_addr)
                                          : static_cast<const void *>(&sin6->sin6_addr);
  char text[INET6_ADDRSTRLEN] = "";
  inet_ntop(ai->ai_family, address, text, sizeof text);

  printf("%d@[%s]:%u", ai->ai_protocol, text, static_cast<unsigned>(port));
  // The resolver names only the first entry; the others still carry the flag but no name.
  if (ai->ai_flags & AI_CANONNAME)
    printf(" canon=%s", ai->ai_canonname != nullptr ? ai->ai_canonname : "(null)");
  puts("");
}

// Output that never reached its file is a failure, not a success: report it the way standard
// tools do.  A write that failed before the final flush may have left errno stale, so the
// reason is named only when the flush itself fails.
int check_stdout() {
  errno = 0;
  const bool flush_failed = fflush(stdout) != 0;
  if (!ferror(stdout)) return 0;
  if (flush_failed && errno != 0)
    fprintf(stderr, "hostpeek: write error: %s\n", strerror(errno));
  else
    fputs("hostpeek: write error\n", stderr);
  return 1;
}

}  // namespace

int main(int argc, char *argv[]) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);

  int option;
  while ((option = getopt(argc, argv, "npc46")) != -1) {
    switch (option) {
      case 'p':
        hints.ai_flags |= AI_PASSIVE;
        break;
      case 'n':
        hints.ai_flags |= AI_NUMERICHOST;
        break;
      case 'c':
        hints.ai_flags |= AI_CANONNAME;
        break;
      case '4':
        hints.ai_family = AF_INET;
        break;
      // Only the family: without AI_V4MAPPED the resolver returns no mapped IPv4 addresses.
      case '6':
        hints.ai_family = AF_INET6;
        break;
      default:
        usage();
    }
  }
  if (argc <= optind + 1) usage();
  const char *service = argv[optind++];
  const char *host = argv[optind++];

  ku_init();

  struct addrinfo *list = nullptr;
  int status = ku_getaddrinfo(host, service, &hints, &list);
  if (status != 0) {
    fprintf(stderr, "hostpeek: %s\n", ku_gai_strerror(status));
    status = 1;
  } else {
    for (const struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) print_entry(ai);
    ku_freeaddrinfo(list);
  }

  ku_deinit();
  if (check_stdout() != 0) status = 1;
  return status;
}
