// vmrkxupdate-listgen: the update list generator for release pipelines.
//   vmrkxupdate-listgen generate RELEASE_ROOT [-o OUTPUT]
//   vmrkxupdate-listgen show LIST [--entries]
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "listgen/list_generator.h"
#include "platform/files.h"
#include "updatelist/document_loader.h"
#include "updatelist/update_list.h"

namespace {

constexpr int kOk = 0, kRefused = 1, kUsage = 2;

const char kUsageText[] =
    "usage: vmrkxupdate-listgen generate RELEASE_ROOT [-o OUTPUT]\n"
    "       vmrkxupdate-listgen show LIST [--entries]\n"
    "\n"
    "generate  walks RELEASE_ROOT and writes the update list that the server\n"
    "          publishes as vmrkxupdate/list.txt (OUTPUT, default list.txt).\n"
    "          RELEASE_ROOT holds app/ (the application folder) and win/ (the\n"
    "          Windows folder); files directly in it are not listed.\n"
    "show      reads LIST as the updater reads it and prints its plain text;\n"
    "          with --entries one entry a line: location, size and date\n"
    "          separated by tabs.\n"
    "\n"
    "Exit status: 0 done, 1 a refused or unreadable input, 2 a usage error.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "vmrkxupdate-listgen: %s\n%s", problem, kUsageText);
  return kUsage;
}

int Generate(std::string root, const std::string& output) {
  const char sep = vmrk::platform::PathSeparator();
  if (root.empty() || root.back() != sep) root += sep;
  if (!vmrk::platform::PathExists(root)) {
    std::fprintf(stderr, "vmrkxupdate-listgen: %s: no such folder\n", root.c_str());
    return kRefused;
  }
  // A progress line only for a person watching a long walk.
  const bool terminal = vmrk::platform::StandardErrorIsTerminal();
  const auto started = std::chrono::steady_clock::now();
  bool printed = false;
  vmrk::GeneratedList list = vmrk::GenerateUpdateList(root, [&](size_t files) {
    if (!terminal || std::chrono::steady_clock::now() - started < std::chrono::seconds(1)) return;
    std::fprintf(stderr, "\r%zu files listed", files);
    printed = true;
  });
  if (printed) std::fprintf(stderr, "\r%zu files listed\n", list.files);
  if (!list.refusal.empty()) {
    std::fprintf(stderr, "vmrkxupdate-listgen: refused, no list written: %s\n", list.refusal.c_str());
    return kRefused;
  }
  vmrk::Status saved = vmrk::SaveUpdateList(output, list.ListText);
  if (!saved.ok()) {
    std::fprintf(stderr, "vmrkxupdate-listgen: %s\n", saved.message().c_str());
    return kRefused;
  }
  std::fprintf(stderr, "%zu files listed in %s\n", list.files, output.c_str());
  return kOk;
}

int Show(const std::string& path, bool entries) {
  std::string text;
  vmrk::Status loaded = vmrk::LoadDocumentText(path, &text);
  if (!loaded.ok()) {
    std::fprintf(stderr, "vmrkxupdate-listgen: %s\n", loaded.message().c_str());
    return kRefused;
  }
  if (!entries) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kOk;
  }
  vmrk::UpdateListReading reading = vmrk::ReadUpdateList(text);
  for (const vmrk::UpdateListEntry& e : reading.entries)
    std::printf("%s\t%s\t%s\n", e.Location.c_str(), e.Size.c_str(), e.Modified.c_str());
  if (reading.badLineNumber) {
    std::fprintf(stderr, "vmrkxupdate-listgen: %s: line %zu is malformed: %s\n", path.c_str(), *reading.badLineNumber,
                 reading.badLineReason.c_str());
    return kRefused;
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command");
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsageText, stdout);
    return kOk;
  }
  if (args[0] == "--version") {
    std::printf("vmrkxupdate-listgen %s\n", VMRK_VERSION);
    return kOk;
  }
  if (args[0] == "generate") {
    std::string root, output = "list.txt";
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "-o" || args[i] == "--output") {
        if (++i == args.size()) return Usage("-o needs a file name");
        output = args[i];
      } else if (!args[i].empty() && args[i][0] == '-') {
        return Usage(("unknown option " + args[i]).c_str());
      } else if (root.empty()) {
        root = args[i];
      } else {
        return Usage("one release root only");
      }
    }
    if (root.empty()) return Usage("generate needs a release root");
    return Generate(root, output);
  }
  if (args[0] == "show") {
    std::string list;
    bool entries = false;
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--entries") entries = true;
      else if (!args[i].empty() && args[i][0] == '-') return Usage(("unknown option " + args[i]).c_str());
      else if (list.empty()) list = args[i];
      else return Usage("one list only");
    }
    if (list.empty()) return Usage("show needs a list");
    return Show(list, entries);
  }
  return Usage(("unknown command " + args[0]).c_str());
}
