// An updater two years of rotations behind: the walk over 32 roots (three
// root keys each, two to sign, so four signatures checked a link) and then
// the manifest under the newest, as a run does before it offers a row.
// 9 runs; prints min and median. Goal: at most 50 ms on the i686 build's
// cryptography (CNG); run it there with the Windows build.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "updatelist/root_of_trust.h"

namespace {

std::string Signed(const vmrk::RootDocument& root, const std::vector<const std::string*>& keys) {
  std::string text = vmrk::RootBody(root);
  for (const std::string* key : keys) text = *vmrk::AddRootSignature(text, *key);
  return text;
}

}  // namespace

int main() {
  constexpr std::int64_t kNow = 1800000000;
  std::vector<std::string> privateKeys;
  for (int i = 0; i < 4; ++i) {
    vmrk::Result<vmrk::platform::KeyPair> key = vmrk::platform::GenerateKey();
    if (!key.ok()) return 1;
    privateKeys.push_back(key->privateKey);
  }
  auto publicOf = [&](int i) { return privateKeys[i].substr(0, vmrk::platform::kPublicKeyBytes); };
  std::vector<std::string> chain;
  vmrk::RootDocument root{1, kNow + 86400, 2, {publicOf(0), publicOf(1), publicOf(2)}, 1, {publicOf(3)}};
  const vmrk::RootDocument first = root;
  chain.push_back(Signed(root, {&privateKeys[0], &privateKeys[1]}));
  for (int v = 2; v <= 33; ++v) {
    root.version = v;
    chain.push_back(Signed(root, {&privateKeys[v % 3], &privateKeys[(v + 1) % 3]}));
  }
  vmrk::ReleaseManifest manifest;
  manifest.serial = 1;
  manifest.expiresUnixSeconds = kNow + 86400;
  manifest.listSha256 = vmrk::platform::Sha256Bytes("list");
  std::string manifestText;
  if (!vmrk::WriteSignedManifest(manifest, {privateKeys[3]}, &manifestText).ok()) return 1;

  std::vector<double> ms;
  for (int run = 0; run < 9; ++run) {
    const auto begun = std::chrono::steady_clock::now();
    vmrk::RootWalk walk(first);
    while (std::optional<std::uint64_t> wanted = walk.Wanted())
      if (!walk.Offer(*wanted <= chain.size() ? std::optional<std::string_view>(chain[*wanted - 1]) : std::nullopt).ok())
        return 1;
    vmrk::Result<vmrk::RootDocument> newest = walk.Finish(kNow);
    if (!newest.ok() || newest->version != 33 || !vmrk::VerifyManifestUnderRoot(manifestText, *newest, kNow).ok())
      return 1;
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("32 roots and a manifest: min %.2f ms, median %.2f ms (goal at most 50 ms)\n", ms.front(), ms[ms.size() / 2]);
  return 0;
}
