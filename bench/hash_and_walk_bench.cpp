// Times hash_file on one file and a finder walk of one tree; run by bench/hash_and_walk, which
// prints these figures beside OpenSSL's, git's and find's.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/filesystem/finder.h"
#include "common/identity.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Prints "<best MB/s> <bytes>" over `repeats` runs.
int hash(const std::filesystem::path& file, int repeats) {
  double best = 1e30;
  for (int i = 0; i < repeats; ++i) {
    std::string identity;
    const auto start = clock_type::now();
    if (!kestrun::hash_file(file, {}, identity)) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    best = std::min(best, seconds_since(start));
  }
  const auto bytes = std::filesystem::file_size(file);
  std::printf("%.1f %ju\n", static_cast<double>(bytes) / best / 1e6,
              static_cast<std::uintmax_t>(bytes));
  return 0;
}

// Prints "<best ms> <entries handed out>" over `repeats` walks, set up as the project scan
// sets up its finder.
int walk(const std::filesystem::path& root, int repeats) {
  double best = 1e30;
  std::size_t entries = 0;
  for (int i = 0; i < repeats; ++i) {
    const auto start = clock_type::now();
    kestrun::filesystem::finder<> finder(root, false, true, L".gitignore", L".k-vcs/",
                                         "kestrun::vcs::finder::");
    kestrun::filesystem::finder_item item;
    entries = 0;
    while (finder.scan(item)) ++entries;
    best = std::min(best, seconds_since(start));
  }
  std::printf("%.1f %zu\n", best * 1e3, entries);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s hash FILE [REPEATS] | walk ROOT [REPEATS]\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  if (mode == "hash") return hash(argv[2], repeats);
  if (mode == "walk") return walk(argv[2], repeats);
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
