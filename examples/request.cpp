// SPDX-License-Identifier: MIT
// Requests handled in homes, in C++: <ku/ku.hpp> owns the references, and std::pmr containers
// allocate in the homes through ku::home_resource.  Each request gets a home of its own, a
// sub-home of the server's: its words, its answer and the descriptor it opens go when its
// ku::unique_home does.  Two threads share the server's home, made thread-safe first; the
// message of a failed request outlives the request by moving into the server's home.
//
//   c++ -std=c++17 request.cpp $(pkg-config --cflags --libs ku) -lpthread -o request_cpp
#include <ku/ku.h>
#include <ku/ku.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory_resource>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// A request record that begins with its home: the record is the home's own memory.
struct request {
  ku_home_t home;
  int fd;  // the response goes here; closed when the home ends
};

void close_response(void *home) {
  auto *req = static_cast<request *>(home);
  if (req->fd >= 0) close(req->fd);
}

class server {
 public:
  server() : home_(ku::unique_home::create()), in_home_(home_.get()), failures_(&in_home_) {
    if (!home_ || ku_home_threadsafe(home_.get()) != 0) throw std::bad_alloc();
  }

  // Answers one line such as "GET /index.html".  Throws std::bad_alloc when memory runs out.
  void handle(std::string_view line) {
    ku::unique_home home = ku::unique_home::clone(home_.get(), sizeof(request));
    if (!home) throw std::bad_alloc();
    auto *req = reinterpret_cast<request *>(home.get());
    req->fd = -1;
    ku_home_destructor(home.get(), close_response);
    req->fd = dup(STDOUT_FILENO);  // stands in for the client's connection

    // Declared after the home, so destroyed before it.
    ku::home_resource in_request(home.get());
    std::pmr::vector<std::pmr::string> words(&in_request);
    for (size_t at = 0; at < line.size();) {
      const size_t end = std::min(line.find(' ', at), line.size());
      words.emplace_back(line.substr(at, end - at));
      at = end + 1;
    }
    bool ok = words.size() == 2 && words[1] != "/missing";
    std::pmr::string answer(line, &in_request);
    answer += ok ? " -> 200\n" : " -> 404\n";
    if (req->fd < 0 || write(req->fd, answer.data(), answer.size()) < 0) ok = false;

    if (!ok) {
      // A copy in the request's home, handed to the server's home with ku_steal.
      char *message = ku::strdup(home.get(), answer);
      if (message == nullptr) throw std::bad_alloc();
      ku::home_mutex_guard hold(home_.get());
      failures_.push_back(static_cast<char *>(ku_steal(home_.get(), home.get(), message)));
    }
  }  // words and answer go first, then the request's home: its blocks, its record, its fd

  size_t report() {
    ku::home_mutex_guard hold(home_.get());
    std::printf("%zu failed:\n", failures_.size());
    for (const char *message : failures_) std::printf("  %s", message);
    return failures_.size();
  }

 private:
  ku::unique_home home_;
  ku::home_resource in_home_;
  std::pmr::vector<const char *> failures_;  // in the server's home, under its user mutex
};

}  // namespace

int main() {
  ku_init();
  size_t failed = 0;
  std::atomic<bool> out_of_memory{false};
  {
    server srv;
    const char *lines[] = {"GET /index.html", "GET /missing", "HEAD /logo.png",
                           "GET /about",      "POST /form",   "GET /"};
    std::vector<std::thread> threads;
    for (int first = 0; first < 2; first++)
      threads.emplace_back([&, first] {
        try {
          for (int i = first; i < 6; i += 2) srv.handle(lines[i]);
        } catch (const std::bad_alloc &) {
          out_of_memory = true;
        }
      });
    for (std::thread &t : threads) t.join();
    failed = srv.report();
  }  // the server's home ends: the kept messages go with it
  ku_deinit();
  return out_of_memory || failed != 1;
}
