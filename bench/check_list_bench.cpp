// The list check on a 10,000-entry list whose files are all installed,
// against stat()ing the same files alone. Goal: at most 1.5 times the stats.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "updatelist/list_check.h"

namespace {

struct Tree {
  std::string root;
  std::string list;
  std::vector<std::string> paths;

  Tree() {
    char pattern[] = "/tmp/vmrk-bench-XXXXXX";
    root = mkdtemp(pattern);
    for (int i = 0; i < 10000; ++i) {
      std::string folder = "plugins" + std::to_string(i % 100);
      std::filesystem::create_directories(root + "/app/" + folder);
      std::string path = root + "/app/" + folder + "/文件" + std::to_string(i) + ".dll";
      std::ofstream(path) << "x";
      paths.push_back(path);
      // Listed a day before it was written: up to date, so every file gets
      // its time and length read and no row is added.
      list += "app\\" + folder + "\\文件" + std::to_string(i) + ".dll?1*2000-01-01 10:00:00\r\n";
    }
  }
  ~Tree() { std::filesystem::remove_all(root); }
};

Tree& SharedTree() {
  static Tree tree;
  return tree;
}

void BM_StatOnly(benchmark::State& state) {
  Tree& tree = SharedTree();
  struct stat st;
  for (auto _ : state)
    for (const std::string& path : tree.paths) benchmark::DoNotOptimize(stat(path.c_str(), &st));
}
BENCHMARK(BM_StatOnly)->Unit(benchmark::kMillisecond);

void BM_CheckUpdateList(benchmark::State& state) {
  Tree& tree = SharedTree();
  for (auto _ : state) {
    vmrk::ListCheckResult result = vmrk::CheckListText(tree.list, tree.root + "/app", tree.root + "/win");
    if (!result.ok || !result.rows.empty()) state.SkipWithError("the check did not see the files as up to date");
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_CheckUpdateList)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
