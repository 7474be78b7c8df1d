// SPDX-License-Identifier: MIT
// ku_ab: two or more builds of libku.so side by side in one process, on the same workload in
// short turns, so that a change can be weighed against the build before it on a machine whose
// speed drifts.  Each build is loaded with dlopen(RTLD_LOCAL) and called through its public
// names; the turns rotate which build goes first, and each build's time is divided by the first
// build's time of the same round.  The median of those ratios moves by a percent or two between
// runs where the absolute times move by tens of percents.
//
//   ku_ab [--work=W] [--chunk=N] [--rounds=N] LIBKU_A.so LIBKU_B.so [...]
//
// Workloads W (nest and pairK are rows of bench/ku_alloc_bench; request is bench/ku_threads_bench's
// request home, with blocks of 48 bytes):
//   nest      a child, grandchild and great-grandchild of a long-lived home, two 32-byte blocks
//             each, then the child is ended (default)
//   pairK     ku_alloc and ku_free of 64 bytes while K other blocks stay in the home (pair10)
//   request   a home, 20 blocks of 48 bytes, the home ended
#include <ku/ku_alloc.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// The calls a workload makes, taken from one loaded build.
struct Build {
  const char *path;
  decltype(&ku_home_create) create;
  decltype(&ku_home_clone) clone;
  decltype(&ku_alloc) alloc;
  decltype(&ku_free) free_;
  decltype(&ku_home_unref) unref;
  ku_home_t *home;  // the workload's long-lived home
  std::vector<double> ns;
};

template <class Fn> void resolve(void *lib, const char *path, const char *name, Fn &fn) {
  fn = reinterpret_cast<Fn>(dlsym(lib, name));
  if (!fn) {
    fprintf(stderr, "ku_ab: %s: no %s\n", path, name);
    exit(2);
  }
}

Build load(const char *path) {
  void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "ku_ab: %s\n", dlerror());
    exit(2);
  }
  Build b{};
  b.path = path;
  resolve(lib, path, "ku_home_create", b.create);
  resolve(lib, path, "ku_home_clone", b.clone);
  resolve(lib, path, "ku_alloc", b.alloc);
  resolve(lib, path, "ku_free", b.free_);
  resolve(lib, path, "ku_home_unref", b.unref);
  return b;
}

void nest(const Build &b, long n) {
  for (long k = 0; k < n; ++k) {
    ku_home_t *h = b.home, *child = nullptr;
    for (int d = 0; d < 3; ++d) {
      h = static_cast<ku_home_t *>(b.clone(h, sizeof(ku_home_t)));
      if (d == 0) child = h;
      void *volatile x = b.alloc(h, 32);
      void *volatile y = b.alloc(h, 32);
      (void)x;
      (void)y;
    }
    b.unref(child);
  }
}

void pair(const Build &b, long n) {
  for (long k = 0; k < n; ++k) {
    void *volatile p = b.alloc(b.home, 64);
    b.free_(b.home, p);
  }
}

void request(const Build &b, long n) {
  for (long k = 0; k < n; ++k) {
    ku_home_t *h = b.create();
    for (int i = 0; i < 20; ++i) {
      void *volatile p = b.alloc(h, 48);
      (void)p;
    }
    b.unref(h);
  }
}

double now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

[[noreturn]] void usage() {
  fprintf(stderr,
          "usage: ku_ab [--work=nest|pairK|request] [--chunk=N] [--rounds=N] LIBKU_A.so "
          "LIBKU_B.so [...]\n");
  exit(2);
}

}  // namespace

int main(int argc, char **argv) {
  std::string work = "nest";
  long chunk = 0, rounds = 300;
  std::vector<Build> builds;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (!strncmp(a, "--work=", 7))
      work = a + 7;
    else if (!strncmp(a, "--chunk=", 8))
      chunk = atol(a + 8);
    else if (!strncmp(a, "--rounds=", 9))
      rounds = atol(a + 9);
    else if (a[0] == '-')
      usage();
    else
      builds.push_back(load(a));
  }
  void (*run)(const Build &, long) = nullptr;
  long live = 0;
  if (work == "nest") {
    run = nest;
  } else if (work == "request") {
    run = request;
  } else if (work.rfind("pair", 0) == 0 && work.size() > 4) {
    run = pair;
    live = atol(work.c_str() + 4);
  } else {
    usage();
  }
  if (builds.size() < 2 || rounds < 1 || chunk < 0) usage();
  // About half a millisecond a turn: short enough that the builds see the same machine.
  if (chunk == 0) chunk = run == pair ? 20000 : 1000;

  for (Build &b : builds) {
    b.home = b.create();
    for (long j = 0; j < live; ++j) b.alloc(b.home, 64);
  }
  const size_t n = builds.size();
  constexpr long kWarmup = 5;
  for (long r = 0; r < kWarmup + rounds; ++r)
    for (size_t k = 0; k < n; ++k) {
      Build &b = builds[(static_cast<size_t>(r) + k) % n];
      const double t0 = now_ns();
      run(b, chunk);
      if (r >= kWarmup) b.ns.push_back((now_ns() - t0) / static_cast<double>(chunk));
    }

  printf("%s, %ld rounds of %ld:\n", work.c_str(), rounds, chunk);
  for (Build &b : builds) {
    std::vector<double> ratio(b.ns.size());
    for (size_t r = 0; r < ratio.size(); ++r) ratio[r] = b.ns[r] / builds[0].ns[r];
    printf("  %-50s min %8.1f ns  median %8.1f ns  ratio to the first %.3f\n", b.path,
           *std::min_element(b.ns.begin(), b.ns.end()), median(b.ns), median(ratio));
    b.unref(b.home);
  }
  return 0;
}
