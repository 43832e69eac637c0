// What it costs to have every stored content on the disk before a version file: one flush of each
// content and of its folder, against one flush of the whole file system after all of them, next
// to copying without any flush. Copies every file of a tree into a folder storage the way the
// folder driver does (a new file, then placed without replacing), in turns, and prints min-max.
//
//   flush_bench TREE STORE [RUNS]
//
// STORE should lie on the file system to measure; it is emptied before each run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
namespace platform = kestrun::platform;
using clock_type = std::chrono::steady_clock;

enum class t_flush { none, each_content, file_system };

const char* label(t_flush flush) {
  switch (flush) {
    case t_flush::none:
      return "no flush";
    case t_flush::each_content:
      return "fsync of each content and its folder";
    case t_flush::file_system:
      return "one syncfs after all contents";
  }
  return "?";
}

// Copies every file into store/<i/256>/<i> and flushes as asked; seconds taken, or -1.
double store_all(const std::vector<fs::path>& files, const fs::path& store, t_flush flush) {
  std::error_code ec;
  fs::remove_all(store, ec);
  fs::create_directories(store, ec);
  // What earlier runs left dirty must not be flushed on this run's account.
  platform::sync_file_system(store, ec);
  const auto start = clock_type::now();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const fs::path folder = store / std::to_string(i / 256);
    fs::create_directories(folder, ec);
    const fs::path target = folder / std::to_string(i);
    fs::path partial = target;
    partial += ".partial-1";
    if (!platform::copy_to_new_file(files[i], partial, flush == t_flush::each_content, ec) ||
        platform::place_new_file(partial, target, ec) != platform::t_placed::placed) {
      std::fprintf(stderr, "copy of %s failed: %s\n", files[i].c_str(), ec.message().c_str());
      return -1;
    }
    if (flush == t_flush::each_content && !platform::sync_folder(folder, ec)) return -1;
  }
  if (flush == t_flush::file_system && !platform::sync_file_system(store, ec)) return -1;
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: flush_bench TREE STORE [RUNS]\n");
    return 2;
  }
  const fs::path tree = argv[1];
  const fs::path store = argv[2];
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  std::vector<fs::path> files;
  std::uintmax_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tree)) {
    if (entry.is_regular_file() && !entry.is_symlink()) {
      files.push_back(entry.path());
      bytes += entry.file_size();
    }
  }
  std::printf("%zu files, %ju bytes, %d runs each, in turns\n", files.size(), bytes, runs);
  const t_flush kinds[] = {t_flush::none, t_flush::each_content, t_flush::file_system};
  std::vector<std::vector<double>> times(3);
  for (int run = 0; run < runs; ++run) {
    for (std::size_t k = 0; k < 3; ++k) {
      const double seconds = store_all(files, store, kinds[k]);
      if (seconds < 0) return 1;
      times[k].push_back(seconds);
    }
  }
  for (std::size_t k = 0; k < 3; ++k) {
    const auto [low, high] = std::minmax_element(times[k].begin(), times[k].end());
    std::printf("%-40s %.2f-%.2f s\n", label(kinds[k]), *low, *high);
  }
  std::error_code ec;
  fs::remove_all(store, ec);
  return 0;
}
