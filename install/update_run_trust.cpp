// UpdateRun: what the run trusts and what it takes. The root walk before the
// release round, the accepted serial and its channel, and whether this
// installation takes a verified release now (its rollout share, a move to a
// channel whose release is older). The rest of the road is in
// update_run.cpp and update_run_release.cpp.
#include <charconv>
#include <random>

#include "install/update_names.h"
#include "install/update_run.h"
#include "platform/files.h"
#include "updatelist/hex_base64.h"

namespace vmrk {

namespace {

std::uint64_t SerialOfText(const std::string& text) {
  std::uint64_t serial = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), serial);
  return error == std::errc() && end == text.data() + text.size() ? serial : 0;
}

}  // namespace

void UpdateRun::RefuseTrust(const std::string& why) {
  Log("trust refused: " + why);
  End(Outcome::kListRefused, "manifest refused");
}

const char* UpdateRun::ManifestFileName() const {
  return trust_.root ? texts::kRootedManifestFile : texts::kReleaseManifestFile;
}

void UpdateRun::WalkRoots() {
  road_ = Road::kWalkingRoots;
  walk_.emplace(*trust_.root);
  AskRoot({FetchJob::Kind::kManifest, 0, kRootMaxBytes});
}

void UpdateRun::AskRoot(FetchJob job) {
  const std::optional<std::uint64_t> wanted = walk_->Wanted();
  if (!wanted) {
    RootsWalked();
    return;
  }
  job.server = fetch_.servers().Next(job.tried).value_or(0);
  fetch_.Assign(0, job);
  services_.DL.AbortDownload();
  // Immutable, but a cache may keep a "not found" from before it was
  // published: asked past it.
  services_.DL.BeginDownload({.url = ServerBase(job.server) + texts::kServerFolder + texts::kRootsFolder +
                                     std::to_string(*wanted) + texts::kRootSuffix,
                              .saveFolder = services_.applicationPath,
                              .maxBytes = kRootMaxBytes,
                              .revalidate = true});
}

void UpdateRun::RootArrived(const FetchJob& job) {
  const std::string saved = services_.DL.SavedFileName();
  std::string text;
  Status read = platform::ReadWholeFile(saved, &text);
  platform::RemoveFile(saved).IgnoreError();
  const std::uint64_t wanted = *walk_->Wanted();
  Status accepted = read.ok() ? walk_->Offer(text) : read;
  if (!accepted.ok()) {
    Log("root " + std::to_string(wanted) + FromServer(job.server) + " refused: " + accepted.message());
    End(Outcome::kListRefused, "manifest refused");
    return;
  }
  Log("root " + std::to_string(wanted) + " accepted" + FromServer(job.server));
  AskRoot({FetchJob::Kind::kManifest, 0, kRootMaxBytes});
}

void UpdateRun::RootFailed(const FetchJob& job, std::int32_t code) {
  fetch_.Release(0);
  const std::string detail = services_.DL.FailureDetail();
  const std::string what = "code " + std::to_string(code) + (detail.empty() ? "" : ", " + detail);
  if (code == kCannotWriteLocally) {
    Log("root " + std::to_string(*walk_->Wanted()) + " cannot be saved: " + what);
    End(Outcome::kCannotWrite, "failed, cannot write here");
    return;
  }
  // An answer without the root: the server has no newer one. No answer at
  // all is not that: a network that keeps the next root away must not keep
  // a withdrawn key trusted, so the run ends unless another server answers.
  if (services_.DL.FailureHttpStatus() != 0) {
    walk_->Offer(std::nullopt).IgnoreError();
    RootsWalked();
    return;
  }
  FetchJob next = job;
  if (fetch_.AnotherServer(next)) {
    Log("root " + std::to_string(*walk_->Wanted()) + FromServer(job.server) + ": " + what + "; asking another server");
    AskRoot(next);
    return;
  }
  Log("root " + std::to_string(*walk_->Wanted()) + " could not be fetched: " + what);
  End(Outcome::kListRefused, "manifest refused: the root could not be fetched");
}

void UpdateRun::RootsWalked() {
  Result<RootDocument> newest = walk_->Finish(UtcNow());
  if (!newest.ok()) {
    Log("root refused: " + newest.status().message());
    End(Outcome::kListRefused, "manifest refused");
    return;
  }
  // Kept at once, as each root is its own proof: a run that ends for any
  // other reason has still learnt which keys are withdrawn.
  for (const std::string& text : walk_->accepted()) {
    if (services_.checkOnly) break;
    Result<ParsedRoot> parsed = ParseRoot(text);
    Status kept = services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection,
                                          texts::kKeptRootKey + std::to_string(parsed->root.version), ToBase64(text));
    if (!kept.ok()) Log("root " + std::to_string(parsed->root.version) + " could not be kept: " + kept.message());
  }
  Log("root " + std::to_string(newest->version) + " is the newest" +
      (walk_->accepted().empty() ? "" : " (" + std::to_string(walk_->accepted().size()) + " new this run)"));
  trust_.root = std::move(newest).value();
  walk_.reset();
  FetchReleaseManifest(false);
}

std::uint64_t UpdateRun::RecordedSerial() {
  // Anything but a plain number (a hand-edited or damaged setting) counts as
  // no release accepted yet.
  return SerialOfText(services_.settings.Read(texts::kSettingsApp, texts::kSettingsSection, texts::kSerialKey, "0"));
}

bool UpdateRun::ChannelMoved() {
  return services_.settings.Read(texts::kSettingsApp, texts::kSettingsSection, texts::kSerialChannelKey, "") !=
         channel_;
}

std::uint64_t UpdateRun::AcceptedSerial() { return ChannelMoved() ? 0 : RecordedSerial(); }

void UpdateRun::RecordSerial() {
  // Forwards only, but for a move to another channel, whose serials are
  // its own: an older release was refused at its manifest, and the same
  // serial again is a re-run that changes nothing here.
  if (pendingSerial_ == 0 || services_.checkOnly) return;
  Status recorded = services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kSerialKey,
                                            std::to_string(pendingSerial_));
  if (recorded.ok() && ChannelMoved())
    recorded = services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kSerialChannelKey,
                                        channel_);
  // The release is in either way; unrecorded, an older one is refused only
  // from the serial recorded before.
  if (!recorded.ok()) Log("the release serial could not be recorded: " + recorded.message());
  pendingSerial_ = 0;
}

std::uint32_t UpdateRun::InstallationNumber() {
  const std::string kept =
      services_.settings.Read(texts::kSettingsApp, texts::kSettingsSection, texts::kRolloutNumberKey, "");
  if (std::optional<std::uint32_t> number = ParseInstallationNumber(kept)) return *number;
  std::random_device random;
  const std::uint32_t drawn = static_cast<std::uint32_t>(random());
  // Kept even by a check-only run: a /check and the /silent after it must
  // agree on whether this installation takes the release.
  Status saved = services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kRolloutNumberKey,
                                         std::to_string(drawn));
  if (!saved.ok()) Log("the rollout number could not be kept: " + saved.message());
  return drawn;
}

bool UpdateRun::HoldsBack(const ReleaseManifest& verified, std::uint64_t accepted) {
  const bool moved = ChannelMoved();
  const std::uint64_t recorded = RecordedSerial();
  if (moved && verified.serial < recorded && !verified.exact) {
    Log("the channel's release (serial " + std::to_string(verified.serial) + ") is older than the one installed (" +
        std::to_string(recorded) + ") and not marked exact: not taken");
    pendingSerial_ = 0;
    End(Outcome::kUpToDate, "up to date, the channel's release is older");
    return true;
  }
  // Only a release not yet taken is rolled out: the same serial again is a
  // re-run, and may repair what it installed.
  if (!services_.rollout || !verified.rollout || (verified.serial <= accepted && !moved)) return false;
  const std::uint32_t number = InstallationNumber();
  const std::int64_t now = UtcNow();
  const std::string share = ShareText(RolloutShare(*verified.rollout, now));
  if (TakesRelease(*verified.rollout, number, now)) {
    Log("rollout: share " + share + ", this installation's number " + std::to_string(number) + ": taken");
    return false;
  }
  Log("held back by the rollout: share " + share + ", this installation's number " + std::to_string(number));
  pendingSerial_ = 0;
  End(Outcome::kUpToDate, "up to date, the release is not yet offered to this installation");
  return true;
}

}  // namespace vmrk
