// The two halves of a long file's journey, one per process so that each
// reports its own peak memory (large_file_bench.sh drives them):
//   large_file_bench encode FILE [BASE] OUT
//     the maintainer's tool's frame of FILE (a patch from BASE), written to OUT
//   large_file_bench stage FRAME FILE_SHA256_HEX FILE_LENGTH OUT [BASE]
//     the updater's staging of that frame, as its worker does it for a saved
//     copy (or, with BASE installed at the patch's target, a patch): decoded,
//     hashed against the manifest's digest and written to OUT
// Each prints one line: seconds, then the process's peak resident memory.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "install/staging.h"
#include "listgen/release_objects_writer.h"
#include "platform/crypto.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "updatelist/hex_base64.h"
#include "updatelist/zstd_frames.h"

namespace {

long PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "large_file_bench: %s\n", why.c_str());
  std::exit(1);
}

int Encode(const std::string& filePath, const std::string& basePath, const std::string& out) {
  std::string file, base;
  if (!vmrk::platform::ReadWholeFile(filePath, &file).ok()) Fail("cannot read " + filePath);
  if (!basePath.empty() && !vmrk::platform::ReadWholeFile(basePath, &base).ok()) Fail("cannot read " + basePath);
  const auto begun = std::chrono::steady_clock::now();
  vmrk::Result<std::string> frame = vmrk::EncodeFrame(file, base, vmrk::kObjectLevel);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  if (!frame.ok()) Fail(frame.status().message());
  vmrk::platform::RemoveFile(out).IgnoreError();
  if (!vmrk::platform::AppendToFile(out, *frame).ok()) Fail("cannot write " + out);
  std::printf("%.3f %ld\n", seconds, PeakResidentKiB());
  return 0;
}

int Stage(const std::string& framePath, const std::string& sha256Hex, std::uint64_t length, const std::string& out,
          const std::string& basePath) {
  std::optional<std::string> sha256 = vmrk::FromHex(sha256Hex);
  vmrk::Result<std::uint64_t> frameLength = vmrk::platform::FileLength(framePath);
  if (!sha256 || !frameLength.ok()) Fail("no frame, or a digest that is not hex");
  vmrk::DecodeTask task;
  task.about.length = *frameLength;
  task.about.file = {*sha256, length};
  task.expected = task.about.file;
  if (!basePath.empty()) {
    vmrk::Result<vmrk::platform::FileDigest> base = vmrk::platform::Sha256OfFile(basePath);
    if (!base.ok()) Fail("cannot read " + basePath);
    task.about.patch = true;
    task.about.base = {base->sha256, base->length};
    task.target = basePath;
  }
  const std::string folder = out + ".d";
  task.folder = folder;
  task.staged = out;
  vmrk::platform::RemoveFile(out).IgnoreError();
  // The saved transfer is consumed by staging: a second name of the frame.
  const std::string saved = out + ".saved";
  vmrk::platform::RemoveFile(saved).IgnoreError();
  if (!vmrk::platform::LinkOrCopy(framePath, saved).ok()) Fail("cannot link " + framePath);
  std::vector<vmrk::DecodeTask> tasks{task};
  const long before = PeakResidentKiB();
  const auto begun = std::chrono::steady_clock::now();
  vmrk::DecodeSaved(saved, *frameLength, "the frame is not its length", tasks);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  if (!tasks[0].outcome.ok()) Fail(tasks[0].outcome.message());
  std::printf("%.3f %ld %ld\n", seconds, PeakResidentKiB(), before);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "encode" && (argc == 4 || argc == 5))
    return Encode(argv[2], argc == 5 ? argv[3] : "", argv[argc - 1]);
  if (command == "stage" && (argc == 6 || argc == 7))
    return Stage(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10), argv[5], argc == 7 ? argv[6] : "");
  std::fprintf(stderr,
               "usage: large_file_bench encode FILE [BASE] OUT\n"
               "       large_file_bench stage FRAME FILE_SHA256_HEX FILE_LENGTH OUT [BASE]\n");
  return 2;
}
