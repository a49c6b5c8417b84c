// Installing a real release from staging into place as one transaction,
// against cp -a of the same files into the same place, timed the same way.
//   install_bench OLD_TREE NEW_TREE WORK [ROUNDS]
// OLD_TREE is the installed release, NEW_TREE the next one (two versions of
// a real program's files). Each round lays both out afresh (untimed, then
// synced), times each side, alternating which goes first, and prints the
// per-round ratio; then min and median.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "install/release_transaction.h"

namespace fs = std::filesystem;

namespace {

double Seconds(const std::function<void()>& work) {
  auto begun = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: install_bench OLD_TREE NEW_TREE WORK [ROUNDS]\n");
    return 2;
  }
  const std::string oldTree = argv[1], newTree = argv[2], work = argv[3];
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  std::vector<std::string> files;  // relative paths of the new release
  // A release carries files, not links: a link of the package is left out.
  for (const auto& entry : fs::recursive_directory_iterator(newTree))
    if (!entry.is_symlink() && entry.is_regular_file())
      files.push_back(entry.path().lexically_relative(newTree).string());
  std::sort(files.begin(), files.end());

  auto lay = [&](const std::string& side) {
    const std::string app = work + "/" + side + "/app";
    fs::remove_all(work + "/" + side);
    Run("mkdir -p '" + app + "/update' && cp -a '" + oldTree + "/.' '" + app + "/'");
    return app;
  };
  std::vector<double> ratios, ours, theirs;
  for (int round = 0; round < rounds; ++round) {
    const std::string app = lay("ours");
    // Theirs: the same files in one staging tree, copied over the release.
    const std::string peer = lay("cp");
    Run("cp -a '" + newTree + "' '" + work + "/cp/staged'");
    Run("sync");
    // Ours: every file staged in a folder of its own, as a fetch leaves it:
    // written just now, not yet on disk, which the transaction sees to.
    std::vector<vmrk::InstallItem> items;
    for (size_t i = 0; i < files.size(); ++i) {
      std::string location = "app";
      for (char c : "\\" + files[i]) location += c == '/' ? '\\' : c;
      vmrk::InstallItem item{vmrk::PlanLocation(location, app, work + "/ours/win"), {}};
      const std::string folder = app + "/update/" + std::to_string(i + 1);
      fs::create_directories(folder);
      item.staged = folder + "/" + item.where.fileName;
      fs::copy_file(newTree + "/" + files[i], item.staged);
      items.push_back(std::move(item));
    }
    auto installOurs = [&] {
      vmrk::TransactionFailure failure;
      vmrk::Status installed = vmrk::InstallRelease(
          vmrk::platform::HostFileSystem(), {{app, work + "/ours/win", app + "/vmrkxupdate"}, app + "/update/journal"}, items, &failure);
      if (!installed.ok()) {
        std::fprintf(stderr, "install failed: %s\n", installed.message().c_str());
        std::exit(1);
      }
    };
    auto copyTheirs = [&] { Run("cp -a '" + work + "/cp/staged/.' '" + peer + "/'"); };
    double a = 0, b = 0;
    if (round % 2 == 0) {
      a = Seconds(installOurs);
      b = Seconds(copyTheirs);
    } else {
      b = Seconds(copyTheirs);
      a = Seconds(installOurs);
    }
    ours.push_back(a);
    theirs.push_back(b);
    ratios.push_back(a / b);
    std::printf("round %d: transaction %.3f s, cp -a %.3f s, ratio %.2f\n", round + 1, a, b, a / b);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("%zu files: transaction over cp -a, min %.2f, median %.2f\n", files.size(), ratios.front(),
              ratios[ratios.size() / 2]);
  fs::remove_all(work);
  return 0;
}
