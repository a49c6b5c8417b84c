// The longest time the event loop stands still during a whole signed update
// (the thread that delivers six transfers' events and paints the window):
// the run as the program makes it, over the platform's downloaders, with its
// disk work on a worker thread, or with none (--inline, as before the
// worker). Prints "outcome longest-stall-ms seconds".
//   stall_bench [--inline] APP_FOLDER SERVER_BASE PUBLIC_KEY_BASE64
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bench/stall_probe.h"
#include "install/update_run.h"
#include "platform/background_work.h"
#include "platform/ini_settings_store.h"
#include "updatelist/release_manifest.h"

int main(int argc, char** argv) {
  vmrk::bench::InitEventLoop(argc, argv);
  int first = 1;
  const bool inlineWork = argc > 1 && std::strcmp(argv[1], "--inline") == 0;
  if (inlineWork) ++first;
  if (argc - first != 3) {
    std::fputs("usage: stall_bench [--inline] APP_FOLDER SERVER_BASE PUBLIC_KEY_BASE64\n", stderr);
    return 64;
  }
  const std::string app = argv[first], server = argv[first + 1], key = argv[first + 2];
  std::unique_ptr<vmrk::Downloader> dl = vmrk::bench::NewDownloader();
  vmrk::platform::IniSettingsStore settings(app + "/bench-settings");
  vmrk::UpdateRunServices services{*dl, settings, app, app + "/vmrkxupdate", false,
                                   [] { return vmrk::bench::NewDownloader(); }};
  if (!inlineWork)
    services.newWorker = [] { return vmrk::platform::NewWorkerThread(); };
  vmrk::UpdateRun run(std::move(services));
  dl->SetEvents(&run);
  run.OpenLog();
  run.Start(inlineWork ? " (stall bench, inline)" : " (stall bench)");
  const auto start = std::chrono::steady_clock::now();
  vmrk::bench::StartStallProbe();
  run.FetchList(server, vmrk::ReleaseTrust{vmrk::PublicKeysOfText(key)});
  // Where the run was when (stderr): to tell which step a stall belongs to.
  auto phase = run.phase();
  while (run.phase() != vmrk::UpdateRun::Phase::kEnded) {
    vmrk::bench::RunEventLoopOnce();
    if (run.phase() != phase) {
      phase = run.phase();
      std::fprintf(stderr, "%.0f ms: phase %d\n", vmrk::bench::NowMs(), static_cast<int>(phase));
    }
    if (run.phase() == vmrk::UpdateRun::Phase::kOffered) run.FetchFiles();
    if (run.phase() == vmrk::UpdateRun::Phase::kInstalling) run.Install();
  }
  std::fprintf(stderr, "the longest stall ended at %.0f ms\n", vmrk::bench::LongestStallEndedAtMs());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  dl->SetEvents(nullptr);
  std::printf("%s %.1f %.2f\n", run.outcome() == vmrk::UpdateRun::Outcome::kUpdated ? "updated" : "failed",
              vmrk::bench::LongestStallMs(), seconds);
  return run.outcome() == vmrk::UpdateRun::Outcome::kUpdated ? 0 : 1;
}
