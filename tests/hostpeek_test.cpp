// SPDX-License-Identifier: MIT
// Process-level tests of the hostpeek command: each case runs the built binary with a fixed
// argv[0] and environment and compares the exact bytes on standard output and standard error.
// The machine has no network, so lookups use numeric addresses and names from /etc/hosts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kUsage =
    "usage: hostpeek [-pnc46] <servicename> <domainname>\n"
    "\t-p query for passive open\n"
    "\t-n use numeric host names\n"
    "\t-c ask for canonic names\n"
    "\t-4 IPv4 only\n"
    "\t-6 IPv6 only (but including mapped IPv4 addresses)\n";

enum class Stdout { pipe, dev_full, closed_pipe };

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
};

// Reads both pipes until both reach end of file, so neither child stream can fill up and block.
void drain(int out_fd, int err_fd, Outcome &run) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string *sink[2] = {&run.out, &run.err};
  int open_fds = (out_fd >= 0) + (err_fd >= 0);
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sink[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
}

Outcome hostpeek(const std::vector<std::string> &args,
                 const std::vector<std::string> &extra_env = {}, Stdout where = Stdout::pipe) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  // Sanitizer builds of the command need their options; nothing else leaks in.
  for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char *value = getenv(name)) env.push_back(std::string(name) + "=" + value);
  env.insert(env.end(), extra_env.begin(), extra_env.end());

  std::vector<char *> argv{const_cast<char *>("hostpeek")};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) abort();
  // With every read end closed, the command's first write to standard output fails with EPIPE.
  // The read end goes before the fork: closed after it, the command could write first.
  if (where == Stdout::closed_pipe) {
    close(out[0]);
    out[0] = -1;
  }
  const pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    if (where == Stdout::dev_full) {
      const int full = open("/dev/full", O_WRONLY);
      if (full < 0 || dup2(full, 1) < 0) _exit(126);
    } else {
      dup2(out[1], 1);
    }
    dup2(err[1], 2);
    execve(KU_HOSTPEEK, argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (where == Stdout::dev_full) {
    close(out[0]);
    out[0] = -1;
  }

  Outcome run;
  drain(out[0], err[0], run);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return run;
}

// True when "localhost" resolves to 127.0.0.1 and nothing else over IPv4, as /etc/hosts says here.
bool localhost_is_loopback_only() {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *list = nullptr;
  if (getaddrinfo("localhost", nullptr, &hints, &list) != 0) return false;
  bool only_loopback = list != nullptr;
  for (const struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
    const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ai->ai_addr);
    only_loopback = only_loopback && sin->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
  }
  freeaddrinfo(list);
  return only_loopback;
}

// The cases use the service names of a stock /etc/services; a machine without them skips.
bool has_service(const char *name, const char *protocol, int port) {
  const struct servent *entry = getservbyname(name, protocol);
  return entry != nullptr && ntohs(static_cast<uint16_t>(entry->s_port)) == port;
}

class NamedServices : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!has_service("http", "tcp", 80) || !has_service("domain", "tcp", 53) ||
        !has_service("domain", "udp", 53) || !has_service("echo", "tcp", 7) ||
        !has_service("echo", "udp", 7))
      GTEST_SKIP() << "/etc/services lacks http, domain or echo";
  }
};

void expect_success(const Outcome &run, const std::string &out) {
  EXPECT_EQ(run.out, out);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

void expect_lookup_failure(const Outcome &run, const std::string &message) {
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "hostpeek: " + message + "\n");
  EXPECT_EQ(run.status, 1);
}

void expect_usage(const Outcome &run, const std::string &diagnostic = "") {
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, diagnostic + kUsage);
  EXPECT_EQ(run.status, 1);
}

class HostpeekOutput : public NamedServices {};
class HostpeekCanon : public NamedServices {};
class HostpeekOptions : public NamedServices {};
class HostpeekLookup : public NamedServices {};
class HostpeekWriteErrors : public NamedServices {};

}  // namespace

TEST_F(HostpeekOutput, numeric_ipv4_host_prints_protocol_address_and_port) {
  expect_success(hostpeek({"-n", "http", "127.0.0.1"}), "6@[127.0.0.1]:80\n");
}

TEST_F(HostpeekOutput, numeric_ipv6_host_prints_address_in_brackets) {
  expect_success(hostpeek({"http", "::1"}), "6@[::1]:80\n");
  expect_success(hostpeek({"echo", "::ffff:127.0.0.1"}),
                 "6@[::ffff:127.0.0.1]:7\n17@[::ffff:127.0.0.1]:7\n");
}

TEST_F(HostpeekOutput, every_entry_is_printed_in_resolver_order) {
  // A numeric port is valid for every socket type: stream, datagram and raw, the last without
  // a protocol number of its own.
  expect_success(hostpeek({"7", "127.0.0.1"}),
                 "6@[127.0.0.1]:7\n17@[127.0.0.1]:7\n0@[127.0.0.1]:7\n");
}

TEST_F(HostpeekOutput, empty_service_is_looked_up_as_port_zero) {
  expect_success(hostpeek({"", "127.0.0.1"}),
                 "6@[127.0.0.1]:0\n17@[127.0.0.1]:0\n0@[127.0.0.1]:0\n");
}

TEST_F(HostpeekOutput, name_from_hosts_file_resolves) {
  if (!localhost_is_loopback_only())
    GTEST_SKIP() << "localhost is not 127.0.0.1 alone on this machine";
  expect_success(hostpeek({"http", "localhost"}), "6@[127.0.0.1]:80\n");
}

TEST_F(HostpeekOutput, third_positional_argument_is_ignored) {
  expect_success(hostpeek({"-n", "http", "127.0.0.1", "extra"}), "6@[127.0.0.1]:80\n");
}

TEST_F(HostpeekOutput, service_comes_before_host) {
  // Swapped, the address is asked as a service name, which the resolver refuses first.
  expect_lookup_failure(hostpeek({"-n", "127.0.0.1", "http"}),
                        "Servname not supported for ai_socktype");
}

TEST_F(HostpeekCanon, canonical_name_follows_the_first_entry) {
  if (!localhost_is_loopback_only())
    GTEST_SKIP() << "localhost is not 127.0.0.1 alone on this machine";
  expect_success(hostpeek({"-c", "http", "localhost"}), "6@[127.0.0.1]:80 canon=localhost\n");
}

TEST_F(HostpeekCanon, entries_without_a_name_still_carry_the_suffix) {
  // The resolver flags every entry but names only the first.
  expect_success(hostpeek({"-c", "domain", "127.0.0.1"}),
                 "6@[127.0.0.1]:53 canon=127.0.0.1\n17@[127.0.0.1]:53 canon=(null)\n");
}

TEST_F(HostpeekOptions, numeric_host_refuses_names) {
  expect_lookup_failure(hostpeek({"-n", "http", "localhost"}), "Name or service not known");
}

TEST_F(HostpeekOptions, passive_numeric_and_canon_combine_in_any_spelling) {
  const std::string out = "6@[127.0.0.1]:53 canon=127.0.0.1\n17@[127.0.0.1]:53 canon=(null)\n";
  expect_success(hostpeek({"-pnc", "domain", "127.0.0.1"}), out);
  expect_success(hostpeek({"-p", "-n", "-c", "domain", "127.0.0.1"}), out);
  expect_success(hostpeek({"-c", "-c", "-nn", "-p", "-p", "domain", "127.0.0.1"}), out);
}

TEST_F(HostpeekOptions, passive_keeps_a_given_host) {
  expect_success(hostpeek({"-p", "http", "127.0.0.1"}), "6@[127.0.0.1]:80\n");
}

TEST_F(HostpeekOptions, ipv4_only_refuses_an_ipv6_address) {
  expect_success(hostpeek({"-4", "http", "127.0.0.1"}), "6@[127.0.0.1]:80\n");
  expect_lookup_failure(hostpeek({"-4", "http", "::1"}),
                        "Address family for hostname not supported");
}

TEST_F(HostpeekOptions, ipv6_only_asks_for_no_mapped_addresses) {
  expect_success(hostpeek({"-6", "http", "::1"}), "6@[::1]:80\n");
  expect_lookup_failure(hostpeek({"-6", "http", "127.0.0.1"}),
                        "Address family for hostname not supported");
}

TEST_F(HostpeekOptions, last_family_option_wins) {
  expect_success(hostpeek({"-4", "-6", "http", "::1"}), "6@[::1]:80\n");
  expect_success(hostpeek({"-64", "http", "127.0.0.1"}), "6@[127.0.0.1]:80\n");
  expect_lookup_failure(hostpeek({"-6", "-4", "http", "::1"}),
                        "Address family for hostname not supported");
  expect_lookup_failure(hostpeek({"-4", "-6", "-4", "-6", "http", "127.0.0.1"}),
                        "Address family for hostname not supported");
}

TEST(HostpeekUsage, missing_arguments_print_the_usage_text) {
  expect_usage(hostpeek({}));
  expect_usage(hostpeek({"http"}));
  expect_usage(hostpeek({"-n", "http"}));
  expect_usage(hostpeek({"-n", "--", "http"}));
}

TEST(HostpeekUsage, unknown_option_prints_the_diagnostic_then_the_usage_text) {
  expect_usage(hostpeek({"-x", "http", "127.0.0.1"}), "hostpeek: invalid option -- 'x'\n");
  expect_usage(hostpeek({"-n5", "http", "127.0.0.1"}), "hostpeek: invalid option -- '5'\n");
}

TEST(HostpeekUsage, usage_error_comes_before_library_start_up) {
  // Started, the library would report its log levels on standard error.
  expect_usage(hostpeek({"http"}, {"SHOW_DEBUG_LEVELS=", "KU_DEBUG=3"}));
}

TEST_F(HostpeekLookup, failed_lookup_prints_one_line_on_stderr) {
  expect_lookup_failure(hostpeek({"-n", "http", "not-an-address"}), "Name or service not known");
  expect_lookup_failure(hostpeek({"no-such-service", "127.0.0.1"}),
                        "Servname not supported for ai_socktype");
}

TEST_F(HostpeekWriteErrors, full_device_fails_with_a_message) {
  const Outcome run = hostpeek({"-n", "http", "127.0.0.1"}, {}, Stdout::dev_full);
  EXPECT_EQ(run.err, "hostpeek: write error: No space left on device\n");
  EXPECT_EQ(run.status, 1);
}

TEST_F(HostpeekWriteErrors, closed_pipe_fails_with_a_message_not_a_signal) {
  const Outcome run = hostpeek({"-n", "http", "127.0.0.1"}, {}, Stdout::closed_pipe);
  EXPECT_EQ(run.err, "hostpeek: write error: Broken pipe\n");
  EXPECT_EQ(run.status, 1);
}

TEST_F(HostpeekWriteErrors, failed_lookup_with_full_device_reports_only_the_lookup) {
  const Outcome run = hostpeek({"-n", "http", "not-an-address"}, {}, Stdout::dev_full);
  EXPECT_EQ(run.err, "hostpeek: Name or service not known\n");
  EXPECT_EQ(run.status, 1);
}
