#include "platform/temp_name.h"

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <random>

#include "platform/files.h"

namespace vmrk::platform {
namespace {

constexpr std::string_view TagOf(TempKind kind) {
  switch (kind) {
    case TempKind::kPlacing: return "vmrk";
    case TempKind::kAside: return "old";
    case TempKind::kAtomicWrite: return "new";
    case TempKind::kPartial: return "part";
    case TempKind::kBackup: return "prev";
  }
  return "vmrk";
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// "STEM.TAG-DIGITS-DIGITS": true with STEM in *stem.
bool EndsWithMark(std::string_view name, std::string_view tag, std::string_view* stem) {
  size_t lastDash = name.rfind('-');
  if (lastDash == std::string_view::npos || lastDash == 0 || !AllDigits(name.substr(lastDash + 1))) return false;
  size_t firstDash = name.rfind('-', lastDash - 1);
  if (firstDash == std::string_view::npos || !AllDigits(name.substr(firstDash + 1, lastDash - firstDash - 1)))
    return false;
  std::string_view head = name.substr(0, firstDash);  // "STEM.TAG"
  if (head.size() < tag.size() + 2 || head.substr(head.size() - tag.size()) != tag ||
      head[head.size() - tag.size() - 1] != '.')
    return false;
  *stem = head.substr(0, head.size() - tag.size() - 1);
  return true;
}

}  // namespace

std::string TempNameFor(std::string_view name, TempKind kind, std::uint64_t pid, std::uint64_t n) {
  std::string temp = ".";
  temp += name;
  temp += '.';
  temp += TagOf(kind);
  temp += "-" + std::to_string(pid) + "-" + std::to_string(n);
  return temp;
}

namespace {

// SplitMix64's finaliser: distinct inputs give distinct, well spread outputs.
std::uint64_t Mix(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// Drawn once a run. A process id comes round again (a reboot, a busy
// machine), and a name of an earlier run with the same id must not be met
// again: the kept copies of the previous release live for months.
std::uint64_t RunSeed() {
  std::random_device device;
  std::uint64_t seed = (std::uint64_t{device()} << 32) ^ device();
  seed ^= static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  seed ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) << 17;
  return Mix(seed ^ CurrentProcessId());
}

}  // namespace

std::string NextTempName(std::string_view name, TempKind kind) {
  // Shared by every thread of the run: two transfers never pick one name.
  // Those who make the file also refuse a name that exists (O_EXCL, a rename
  // that does not replace); the random part makes that refusal rare.
  static const std::uint64_t seed = RunSeed();
  static std::atomic<std::uint64_t> counter{0};
  return TempNameFor(name, kind, CurrentProcessId(), Mix(seed + ++counter));
}

std::string NextTempPathBeside(const std::string& path, TempKind kind) {
  const size_t cut = path.find_last_of(PathSeparator() == '\\' ? "\\/" : "/");
  if (cut == std::string::npos) return NextTempName(path, kind);
  return path.substr(0, cut + 1) + NextTempName(std::string_view(path).substr(cut + 1), kind);
}

bool IsUpdaterTempName(std::string_view name) {
  std::string_view stem;
  for (TempKind kind :
       {TempKind::kPlacing, TempKind::kAside, TempKind::kAtomicWrite, TempKind::kPartial, TempKind::kBackup}) {
    if (!EndsWithMark(name, TagOf(kind), &stem)) continue;
    if (stem.size() >= 2 && stem[0] == '.') return true;
    if (kind == TempKind::kPartial && !stem.empty() && stem[0] != '.') return true;
  }
  return false;
}

}  // namespace vmrk::platform
