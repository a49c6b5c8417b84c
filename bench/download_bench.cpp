// Fetches URLs in sequence through the real downloader, the way the update
// sequence does (the next transfer started from inside DL_Finished), and
// prints the wall time and the growth of the process's peak memory.
//   download_bench [--sha256] SAVE_FOLDER URL...   (or URLs one per line on stdin with "-")
// --sha256 hashes every body as it streams, as a signed release does.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "downloader/qt/qt_downloader.h"

namespace {

long PeakKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

struct Sequence : vmrk::DownloaderEvents {
  vmrk::QtDownloader* downloader = nullptr;
  std::vector<std::string> urls;
  size_t next = 0;
  int failures = 0;

  void StartNext() {
    if (next == urls.size()) {
      QCoreApplication::quit();
      return;
    }
    downloader->AbortDownload();
    downloader->SetSourceURL(urls[next++]);
    downloader->BeginDownload();
  }
  void DL_Finished(std::int32_t) override { StartNext(); }
  void DL_Failed(std::int32_t code, std::int32_t) override {
    std::fprintf(stderr, "failed with %d: %s\n", code, urls[next - 1].c_str());
    ++failures;
    StartNext();
  }
  void DL_Progress(float, std::int32_t, std::int32_t) override {}
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  bool hash = argc > 1 && std::string(argv[1]) == "--sha256";
  if (hash) {
    --argc;
    ++argv;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: download_bench [--sha256] SAVE_FOLDER URL... | -\n");
    return 2;
  }
  Sequence sequence;
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "-") {
      std::string line;
      while (std::getline(std::cin, line))
        if (!line.empty()) sequence.urls.push_back(line);
    } else {
      sequence.urls.push_back(argv[i]);
    }
  }
  vmrk::QtDownloader downloader;
  downloader.SetSaveFolder(argv[1]);
  downloader.SetMaxBytes(UINT64_MAX);
  downloader.SetComputeSha256(hash);  // the window bounds each file by its list entry; here nothing does
  downloader.SetEvents(&sequence);
  sequence.downloader = &downloader;
  long peakBefore = PeakKib();
  QElapsedTimer clock;
  clock.start();
  QMetaObject::invokeMethod(&app, [&] { sequence.StartNext(); }, Qt::QueuedConnection);
  app.exec();
  double seconds = clock.nsecsElapsed() / 1e9;
  std::printf("files=%zu seconds=%.3f failures=%d peak_growth_kib=%ld\n", sequence.urls.size(), seconds,
              sequence.failures, PeakKib() - peakBefore);
  return sequence.failures == 0 ? 0 : 1;
}
