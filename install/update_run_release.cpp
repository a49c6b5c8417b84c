// UpdateRun: how the release is read. With trusted keys, release.sig alone
// at its fixed name and the list and index by their content; where the
// server has no release.sig, the list and list.txt.sig by their names; and
// the accepted serial. The rest of the road is in update_run.cpp, and what
// each transfer brings in update_run_arrivals.cpp.
#include <algorithm>
#include <charconv>
#include <random>

#include "install/update_names.h"
#include "install/update_run.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "updatelist/document_loader.h"
#include "updatelist/update_list.h"

namespace vmrk {
namespace {

bool IsNetworkFailure(std::int32_t code) {
  return code == kCannotDownload || code == kTooManyRedirects || code == kNoResponse || code == kUnknownFailure;
}

}  // namespace

void UpdateRun::FetchFixedNamedList() {
  if (road_ == Road::kAskingRelease) road_ = Road::kFixedNames;
  StartList({FetchJob::Kind::kList, 0, kListMaxBytes});
}

void UpdateRun::StartList(FetchJob job) {
  job.server = fetch_.servers().Next(job.tried).value_or(0);
  const bool byContent = road_ == Road::kContentNamed && !triedFixedNamedList_;
  if (byContent) job.bytes = release_.listLength;
  fetch_.Assign(0, job);
  services_.DL.AbortDownload();
  services_.DL.BeginDownload({.url = ServerBase(job.server) + tree_ +
                                     (byContent ? ListObjectPath(release_.listSha256) : std::string(texts::kListFile)),
                              .saveFolder = services_.applicationPath,
                              .maxBytes = job.bytes});
}

void UpdateRun::FetchReleaseManifest(bool pastCaches) {
  road_ = Road::kAskingRelease;
  askedPastCaches_ = pastCaches;
  roundBegan_ = std::chrono::steady_clock::now();
  ++rounds_;
  if (graceAlarm_) spentAlarm_ = std::move(graceAlarm_);
  round_.resize(fetch_.servers().size());
  for (ServerRound& server : round_) {
    // Silent once is silent for the run: asking again would cost the
    // timeout again.
    if (pastCaches && server.answer.kind == ManifestAnswer::kSilent) continue;
    server = ServerRound{};
  }
  AskManifests();
}

void UpdateRun::AskManifests() {
  // Side by side where there are downloaders for it. A check-only run asks
  // one server after another: the folders the others would save into are
  // below the application folder, which it leaves as it is.
  const size_t slots = services_.newDownloader && !services_.checkOnly ? kMaxTransfers : 1;
  size_t slot = 0;
  for (size_t server = 0; server < round_.size(); ++server) {
    if (round_[server].asked || round_[server].answer.kind != ManifestAnswer::kPending) continue;
    while (slot < slots && fetch_.JobOf(slot) != nullptr) ++slot;
    if (slot == slots) return;
    round_[server].asked = true;
    fetch_.Assign(slot, {FetchJob::Kind::kManifest, 0, kManifestMaxBytes, server});
    // Each in a folder of its own: every one is saved as release.sig.
    std::string folder = services_.applicationPath;
    if (slot > 0) {
      folder = RowStagingFolder(slot + 1);
      if (!platform::PathExists(folder)) platform::CreateFolder(folder).IgnoreError();
    }
    TransferRequest request{.url = ServerBase(server) + tree_ + ManifestFileName(),
                            .saveFolder = folder,
                            .maxBytes = kManifestMaxBytes,
                            .revalidate = true};
    if (askedPastCaches_) {
      // A query no cache has seen: the origin's answer, whatever the caches
      // on the way keep or ignore of no-cache.
      std::random_device random;
      request.query = "fresh=" + std::to_string(random()) + std::to_string(random());
    }
    Downloader& dl = DownloaderOf(slot);
    dl.AbortDownload();
    dl.BeginDownload(request);
  }
}

void UpdateRun::ReleaseManifestArrived(size_t slot, const FetchJob& job) {
  const std::string manifestFile = DownloaderOf(slot).SavedFileName();
  std::string text;
  Status read = platform::ReadWholeFile(manifestFile, &text);
  platform::RemoveFile(manifestFile).IgnoreError();
  Result<ReleaseManifest> verified =
      read.ok() ? VerifyTrustedManifest(text, trust_, UtcNow()) : Result<ReleaseManifest>(read);
  const int format = trust_.root ? kRootedFormat : kContentNamedFormat;
  if (verified.ok() && verified->format != format)
    verified = Status::Error(Status::Kind::kInvalid,
                             std::string(ManifestFileName()) + " is not of format " + std::to_string(format));
  // Another channel's release, signed as well as this one's, is still not
  // the one this installation follows.
  if (verified.ok() && trust_.root && verified->channel != channel_)
    verified = Status::Error(Status::Kind::kInvalid,
                             "the release is of the channel \"" + verified->channel + "\", not \"" + channel_ + "\"");
  if (!verified.ok()) {
    ManifestAnswered(job.server, {ManifestAnswer::kRefused}, verified.status().message());
    return;
  }
  const std::uint64_t serial = verified->serial;
  ManifestAnswered(job.server, {ManifestAnswer::kVerified, serial}, "", std::move(verified).value());
}

void UpdateRun::ManifestAnswered(size_t server, ManifestAnswer answer, std::string detail, ReleaseManifest manifest) {
  if (round_.size() > 1) {
    std::string what = answer.kind == ManifestAnswer::kVerified ? "serial " + std::to_string(answer.serial)
                       : answer.kind == ManifestAnswer::kRefused ? "refused: " + detail
                                                                 : detail;
    Log(ManifestFileName() + FromServer(server) + ": " + what);
  }
  round_[server].answer = answer;
  round_[server].detail = std::move(detail);
  round_[server].manifest = std::move(manifest);
  AskManifests();
  DecideRelease();
}

void UpdateRun::DecideRelease() {
  std::vector<ManifestAnswer> answers;
  std::uint64_t newestOlder = 0;
  bool anyVerified = false;
  for (const ServerRound& server : round_) {
    answers.push_back(server.answer);
    if (server.answer.kind != ManifestAnswer::kVerified) continue;
    anyVerified = true;
    newestOlder = std::max(newestOlder, server.answer.serial);
  }
  const std::uint64_t accepted = AcceptedSerial();
  const ReleaseChoice choice = ChooseRelease(answers, accepted, askedPastCaches_);
  if (choice.kind == ReleaseChoice::kWait && services_.newAlarm && !graceAlarm_) {
    // Would the answers so far name a release if the rest never came? Then
    // the rest get a while, not a connect timeout each.
    for (ManifestAnswer& answer : answers)
      if (answer.kind == ManifestAnswer::kPending) answer.kind = ManifestAnswer::kSilent;
    if (ChooseRelease(answers, accepted, askedPastCaches_).kind == ReleaseChoice::kUse) {
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                              roundBegan_);
      const int grace = std::max(kStragglerGraceMs, static_cast<int>(std::min<std::int64_t>(took.count(), 60000)));
      graceAlarm_ = services_.newAlarm(grace, [this, round = rounds_] {
        if (round == rounds_) PassOverStragglers();
      });
    }
  }
  // A cache or mirror that has not seen the newest release yet, or an old
  // one replayed: nothing older is installed either way.
  const std::string seen = ManifestFileName() + std::string(" of serial ") + std::to_string(newestOlder) + ", older than the accepted " +
                           std::to_string(accepted);
  switch (choice.kind) {
    case ReleaseChoice::kWait: return;
    case ReleaseChoice::kUse: UseRelease(choice.server); return;
    case ReleaseChoice::kAskPastCaches:
      Log(seen + ": asked again past the caches");
      FetchReleaseManifest(true);
      return;
    case ReleaseChoice::kUpToDate:
      Log(anyVerified ? seen + " again: up to date"
                      : ManifestFileName() + std::string(" could not be had past the caches: up to date"));
      End(Outcome::kUpToDate, "up to date, the server's release is not newer");
      return;
    case ReleaseChoice::kFixedNames:
      // A server that answers but has no release.sig is one of an earlier
      // maintainer's tool: the list and its manifest by their names, first
      // from the servers that answered so.
      Log("no " + std::string(ManifestFileName()) + " on the server" + FromServer(choice.server) + " (" + round_[choice.server].detail +
          "): list.txt and list.txt.sig");
      for (size_t s = 0; s < round_.size(); ++s)
        if (round_[s].answer.kind != ManifestAnswer::kMissing) fetch_.servers().Failed(s);
      FetchFixedNamedList();
      return;
    case ReleaseChoice::kRefused:
      Log("manifest refused: " + round_[choice.server].detail);
      End(Outcome::kListRefused, "manifest refused");
      return;
    case ReleaseChoice::kUnreachable:
      // No manifest, no offer: a release the updater cannot verify is
      // refused whatever kept the manifest away.
      End(Outcome::kListRefused, "manifest refused: it could not be fetched");
      return;
  }
}

void UpdateRun::PassOverStragglers() {
  if (road_ != Road::kAskingRelease || phase_ == Phase::kEnded) return;
  for (size_t slot = 0; slot < kMaxTransfers; ++slot) {
    const FetchJob* job = fetch_.JobOf(slot);
    if (job == nullptr || job->kind != FetchJob::Kind::kManifest) continue;
    const size_t server = job->server;
    fetch_.Release(slot);
    DownloaderOf(slot).AbortDownload();
    round_[server].answer = {ManifestAnswer::kSilent};
    round_[server].detail = "no answer while the others gave a release to follow";
    Log(ManifestFileName() + FromServer(server) + ": " + round_[server].detail);
  }
  // Asked of none yet (more servers than slots): not asked now.
  for (ServerRound& server : round_)
    if (server.answer.kind == ManifestAnswer::kPending) server.answer = {ManifestAnswer::kSilent};
  DecideRelease();
}

void UpdateRun::UseRelease(size_t server) {
  road_ = Road::kContentNamed;
  release_ = std::move(round_[server].manifest);
  // Whoever did not give this very release (silent, refused, lagging) is
  // asked for its objects last.
  for (size_t s = 0; s < round_.size(); ++s)
    if (round_[s].answer.kind != ManifestAnswer::kVerified || round_[s].answer.serial != release_.serial)
      fetch_.servers().Failed(s);
  for (const std::string& mirror : release_.mirrors) fetch_.servers().Add(mirror);
  const std::string from = round_.size() > 1 ? " (the newest, from " + AddressForLog(ServerBase(server)) + ")" : "";
  round_.clear();
  Log(ManifestFileName() + std::string(": serial ") + std::to_string(release_.serial) + ", every file named by its content" + from +
      (release_.mirrors.empty() ? "" : ", " + std::to_string(release_.mirrors.size()) + " mirrors named in it"));
  // The list by its content; the index beside it, on a connection of its
  // own where there is one (both are checked against the manifest).
  if (services_.newDownloader && !indexAsked_) FetchObjectIndex(1);
  StartList({FetchJob::Kind::kList, 0, release_.listLength});
}

void UpdateRun::ListArrived(const FetchJob& job) {
  const std::string listFile = DownloaderOf(0).SavedFileName();
  std::string bytes;
  Status read = platform::ReadWholeFile(listFile, &bytes);
  Result<std::string> text = read.ok() ? DocumentTextOf(bytes) : Result<std::string>(read);
  if (!text.ok()) {
    platform::RemoveFile(listFile).IgnoreError();
    if (TryAnotherServer(0, job, "not a readable rich-text document")) return;
    ReplaceRows({});
    Log("list refused: not a readable rich-text document");
    End(Outcome::kListBroken, "list refused");
    return;
  }
  Log("list received: " + std::to_string(bytes.size()) + " bytes");
  ReplaceRows({});
  // Gone before any line is read; a list that cannot be deleted is still read.
  platform::RemoveFile(listFile).IgnoreError();
  if (!trust_.any()) {
    OfferRows(*text);
    return;
  }
  listBytes_ = std::move(bytes);
  listText_ = std::move(text).value();
  listServer_ = job.server;
  if (road_ != Road::kContentNamed) {
    FetchManifest();
    return;
  }
  Result<std::vector<UpdateListEntry>> entries = ReadUpdateList(listText_);
  if (!entries.ok()) {
    Log("list refused: " + entries.status().message());
    End(Outcome::kListBroken, "list refused");
    return;
  }
  if (Status named = CheckManifestList(release_, listBytes_, LocationsOf(*entries)); !named.ok()) {
    if (TryAnotherServer(0, job, "not the list the manifest names: " + named.message())) return;
    Log("manifest refused: " + named.message());
    End(Outcome::kListRefused, "manifest refused");
    return;
  }
  AcceptRelease(release_, AcceptedSerial());
}

void UpdateRun::FetchManifest() {
  Advance(Phase::kFetchingManifest);
  // Used only once the manifest has verified; asked for now, on a
  // connection of its own, so that it is here when the files are asked for.
  if (services_.newDownloader && !indexAsked_) FetchObjectIndex(1);
  // From where the list came: a mirror's list.txt.sig may be of another
  // release than its own list.
  fetch_.Assign(0, {FetchJob::Kind::kManifest, 0, kManifestMaxBytes, listServer_});
  services_.DL.AbortDownload();
  services_.DL.BeginDownload({.url = ServerBase(listServer_) + tree_ + texts::kListFile +
                                     texts::kManifestSuffix,
                              .saveFolder = services_.applicationPath,
                              .maxBytes = kManifestMaxBytes});
}

void UpdateRun::ManifestArrived() {
  const std::string manifestFile = DownloaderOf(0).SavedFileName();
  std::string manifest;
  bool read = platform::ReadWholeFile(manifestFile, &manifest).ok();
  platform::RemoveFile(manifestFile).IgnoreError();
  Result<std::vector<UpdateListEntry>> entries = ReadUpdateList(listText_);
  if (!entries.ok()) {
    Log("list refused: " + entries.status().message());
    End(Outcome::kListBroken, "list refused");
    return;
  }
  const std::uint64_t accepted = AcceptedSerial();
  Result<ReleaseManifest> verified = read ? VerifyTrustedManifest(manifest, trust_, UtcNow())
                                          : Result<ReleaseManifest>(Status::Error("cannot be read"));
  Status verdict = verified.status();
  if (verdict.ok()) verdict = CheckManifestSerial(*verified, accepted);
  if (verdict.ok()) verdict = CheckManifestList(*verified, listBytes_, LocationsOf(*entries));
  if (!verdict.ok()) {
    Log("manifest refused: " + verdict.message());
    End(Outcome::kListRefused, "manifest refused");
    return;
  }
  AcceptRelease(std::move(verified).value(), accepted);
}

void UpdateRun::AcceptRelease(ReleaseManifest verified, std::uint64_t accepted) {
  // Recorded once the release is in (or nothing needed updating): a release
  // whose files were tampered with leaves no trace in the installation.
  pendingSerial_ = verified.serial > accepted || ChannelMoved() ? verified.serial : 0;
  Log("manifest accepted: serial " + std::to_string(verified.serial) + " (accepted before: " +
      std::to_string(accepted) + ")" + (verified.exact ? ", exact" : ""));
  if (HoldsBack(verified, accepted)) return;
  exact_ = verified.exact;
  signedRelease_ = true;
  for (ManifestFile& file : verified.files) signedFiles_[file.location] = std::move(file);
  OfferRows(listText_);
}

void UpdateRun::ListOrManifestFailed(size_t slot, const FetchJob& job, std::int32_t code) {
  const std::string detail = DownloaderOf(slot).FailureDetail();
  const bool manifest = job.kind == FetchJob::Kind::kManifest;
  const std::string what = "code " + std::to_string(code) + (detail.empty() ? "" : ", " + detail);
  Log("transfer failed while fetching " + std::string(manifest ? "the manifest" : "the list") + FromServer(job.server) +
      ": " + what);
  // Not the network's fault: saying so would send the user to the firewall.
  if (code == kCannotWriteLocally) {
    End(Outcome::kCannotWrite, "failed, cannot write here");
    return;
  }
  if (!IsNetworkFailure(code)) return;  // any other code changes nothing: the transfer stays the run's
  const int status = DownloaderOf(slot).FailureHttpStatus();
  if (manifest && road_ == Road::kAskingRelease) {
    fetch_.Release(slot);
    if (status != 0) ManifestAnswered(job.server, {ManifestAnswer::kMissing}, "HTTP " + std::to_string(status));
    else ManifestAnswered(job.server, {ManifestAnswer::kSilent}, "no answer, " + what);
    return;
  }
  if (!manifest && TryAnotherServer(slot, job, what)) return;
  if (!manifest && road_ == Road::kContentNamed && status != 0 && !triedFixedNamedList_) {
    // Not there yet (objects published after the manifest): the list at its
    // fixed name, which must be the one the manifest names.
    triedFixedNamedList_ = true;
    Log("the list named by its content could not be had: list.txt");
    StartList({FetchJob::Kind::kList, 0, kListMaxBytes});
    return;
  }
  // No manifest, no offer: a release the updater cannot verify is refused
  // whatever kept the manifest away.
  if (manifest) End(Outcome::kListRefused, "manifest refused: it could not be fetched");
  else End(Outcome::kTransferFailed, "failed, the transfer failed");
}

void UpdateRun::FetchObjectIndex(size_t slot) {
  indexAsked_ = true;
  const bool contentNamed = road_ == Road::kContentNamed;
  if (contentNamed && !release_.indexSha256) return;  // a release without objects
  StartIndex(slot, {FetchJob::Kind::kIndex, 0, contentNamed ? release_.indexLength : kObjectIndexMaxBytes});
}

void UpdateRun::StartIndex(size_t slot, FetchJob job) {
  const bool contentNamed = road_ == Road::kContentNamed;
  job.server = fetch_.servers().Next(job.tried).value_or(0);
  fetch_.Assign(slot, job);
  Downloader& dl = DownloaderOf(slot);
  dl.AbortDownload();
  dl.BeginDownload({.url = ServerBase(job.server) + tree_ +
                           (contentNamed ? IndexObjectPath(*release_.indexSha256)
                                         : std::string(texts::kListFile) + texts::kObjectIndexSuffix),
                    .saveFolder = services_.applicationPath,
                    .maxBytes = job.bytes});
}

void UpdateRun::ObjectIndexArrived(size_t slot, const FetchJob& job, bool arrived) {
  std::string text;
  const std::string saved = DownloaderOf(slot).SavedFileName();
  if (arrived) {
    Status read = platform::ReadWholeFile(saved, &text);
    platform::RemoveFile(saved).IgnoreError();
    // By its content, the index may come before the list: both are then
    // measured against the manifest.
    const bool contentNamed = road_ == Road::kContentNamed;
    Result<ObjectIndex> index = read.ok() ? ParseObjectIndex(text) : Result<ObjectIndex>(read);
    if (index.ok() && contentNamed &&
        (text.size() != release_.indexLength || platform::Sha256Bytes(text) != *release_.indexSha256))
      index = Status::Error(Status::Kind::kInvalid, "it is not the index the manifest names");
    const std::string listSha256 = contentNamed ? release_.listSha256 : platform::Sha256Bytes(listBytes_);
    const std::uint64_t listLength = contentNamed ? release_.listLength : listBytes_.size();
    if (index.ok() && (index->listLength != listLength || index->listSha256 != listSha256))
      index = Status::Error(Status::Kind::kInvalid, "it belongs to another list");
    if (index.ok()) {
      Log("object index: " + std::to_string(index->copies.size()) + " compressed copies, " +
          std::to_string(index->packages.size()) + " delta packages");
      objects_ = std::move(index).value();
    } else {
      if (TryAnotherServer(slot, job, index.status().message())) return;
      Log("object index not used, plain files only: " + index.status().message());
    }
  }
  // The files were asked for while it came: they are planned now.
  PlanWhenReady();
}

void UpdateRun::IndexFailed(size_t slot, const FetchJob& job, std::int32_t code) {
  const std::string detail = DownloaderOf(slot).FailureDetail();
  const std::string what = "code " + std::to_string(code) + (detail.empty() ? "" : ", " + detail);
  if (code != kCannotWriteLocally && TryAnotherServer(slot, job, what)) return;
  Log("object index not used, plain files only: " + what);
  ObjectIndexArrived(slot, job, false);
}

}  // namespace vmrk
