// SPDX-License-Identifier: MIT
// A C++17 program built against installed ku packages: the C++ layer of <ku/ku.hpp> with a
// std::pmr container and a string copy in a home.  Prints "consumer++: ok" when every check holds.
#include <ku/ku.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main() {
  ku::unique_home home = ku::unique_home::create();
  if (!home) return 1;
  ku::home_resource resource(home.get());
  std::pmr::vector<std::pmr::string> words(&resource);
  words.emplace_back("a string long enough to leave the small buffer");
  std::string name = "peer1";
  char *copy = ku::strdup(home.get(), name);
  char *line = ku_asprintf(home.get(), "%s:%zu", copy, words.size());
  bool ok = ku_in_home(home.get(), words.data()) && ku_in_home(home.get(), words[0].data()) &&
            line != nullptr && std::strcmp(line, "peer1:1") == 0;
  if (!ok) return 1;
  std::puts("consumer++: ok");
  return 0;
}
