// The road of one update, apart from any window: the list and its signed
// manifest, the check against the installed files, the fetch sequence, the
// installation of each file, the log, and an explicit outcome. The window,
// the unattended run and the tests drive it and render its state; nothing
// here knows how it is shown.
//
// Every call here is made on one thread, the one the downloaders deliver
// their events on, and none blocks on the network. The disk and CPU work
// (the list's check against the installation, hashing, decoding, the
// installation) runs on the worker of UpdateRunServices::newWorker, with
// copies of what it needs; its results come back on that thread. The files
// of a release are fetched by up to kMaxTransfers downloaders at once, each
// with its own resume, retries, bound and watchdog; rows are staged in
// whatever order they arrive.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "downloader/downloader.h"
#include "install/fetch_plan.h"
#include "install/fetch_scheduler.h"
#include "install/installer.h"
#include "install/manifest_round.h"
#include "install/update_log.h"
#include "platform/alarm.h"
#include "platform/background_work.h"
#include "platform/settings_store.h"
#include "updatelist/file_row.h"
#include "updatelist/release_manifest.h"
#include "updatelist/release_objects.h"
#include "updatelist/root_of_trust.h"

namespace vmrk {

// Six, as browsers open to one server: enough to hide the round trips of
// small files, few enough to be fair to the server and to other users.
inline constexpr size_t kMaxTransfers = 6;
// Far above any real list (100,000 lines are about 12 MB); an endless body
// must end somewhere.
inline constexpr std::uint64_t kListMaxBytes = 64ull << 20;

struct UpdateRunServices {
  // Fetches the list and the manifest (and the object index when there is
  // no other downloader), and is the first of the transfers that fetch
  // files (slot 0); its events come through whoever set itself as its
  // receiver, and reach the run's DL_* handlers, which take them as the
  // other slots' events are taken.
  Downloader& DL;
  platform::SettingsStore& settings;
  // The folder of the updater's program, without a trailing separator.
  std::string applicationPath;
  // The running executable itself, which an update never overwrites.
  std::string runningProgram;
  // Nothing below the application folder is changed (no staging cleanup, no
  // sweep, no serial recorded); the log is still written.
  bool checkOnly = false;
  // More downloaders for files fetched side by side, each made as DL was;
  // their events come to the run directly. Empty: one transfer at a time.
  std::function<std::unique_ptr<Downloader>()> newDownloader = {};
  // Where hashing, decoding and the installation run, away from the thread
  // that delivers the transfers' events and paints the window; made once,
  // with the run. None: each runs at once, on the event thread.
  std::function<std::unique_ptr<platform::BackgroundWork>()> newWorker = {};
  // Timers on the event thread. With them, once the servers that answered
  // name a release to follow, the others are waited for only a while
  // (kStragglerGrace); without, until each answers or fails.
  platform::MakeAlarm newAlarm = {};
  // An unattended run: a release's rollout share applies. A user who opened
  // the window is offered the release at once.
  bool rollout = false;
};

// How long the release.sig round waits for the servers that have not
// answered once those that have name a release to follow: as long again as
// that took, and at least this. A live mirror answers within a few round
// trips of the others; one that is black-holed would cost the whole connect
// timeout.
inline constexpr int kStragglerGraceMs = 1000;

struct DecodeTask;
struct SavedPart;
struct TransactionFailure;

class UpdateRun : public DownloaderEvents {
 public:
  enum class Phase {
    kStarting,           // before the list is asked for
    kFetchingList,
    kFetchingManifest,
    kOffered,            // rows wait for FetchFiles
    kFetchingFiles,      // the rows into the staging folder (after the object index, when signed)
    kInstalling,         // every row is staged: Install() puts the release in
    kEnded,              // outcome() says how
  };
  enum class Outcome {
    kNone,            // not ended
    kUpToDate,        // nothing to update
    kUpdated,         // every offered file is in place
    kRolledBack,      // the release could not be put in place: the installation is as it was
    kNoRoom,          // too little free space for the release: nothing fetched
    kNoServer,        // no address file: nothing to ask
    kListBroken,      // the list is not a list (unreadable, a bad line, an unsafe location)
    kListRefused,     // the signed manifest refused the list, or could not be had
    kFileRefused,     // a file is not the one the manifest names
    kTransferFailed,  // a transfer failed (code 1, 2, 3 or 99), or a file arrived short
    kCannotWrite,     // a transfer could not be written here (code 4)
    kCancelled,       // the user cancelled
    // Rollback():
    kRestored,          // the previous release is back
    kNothingToRestore,  // no previous release is kept
    kRestoreFailed,     // it could not be restored; the installation is as it was
    // An interrupted or failed transaction could not be undone or finished:
    // the journal and every file it names are kept for the next start.
    kRepairFailed,
  };

  explicit UpdateRun(UpdateRunServices services);
  ~UpdateRun() override;
  UpdateRun(const UpdateRun&) = delete;
  UpdateRun& operator=(const UpdateRun&) = delete;

  // Opens the log (first, so that even a run that ends at once is logged).
  void OpenLog();
  // Notes the start; completes or undoes an installation that a killed run
  // left half done; unless check-only, empties the staging folder and sweeps
  // what an interrupted run left below the application folder. Every step
  // that fails is skipped.
  void Start(const std::string& mode);
  // No address file: the run ends before it asks anything.
  void EndWithoutServer(const std::string& addressFile);
  // The updater's own trust cannot be had (its shipped root is broken): the
  // run ends refused before it asks anything.
  void RefuseTrust(const std::string& why);
  // Asks for the list below serverBase ("http://host/"). With trusted keys,
  // nothing is offered before a manifest has verified: release.sig, which
  // names the list and every file by its content, or where the server has
  // none, list.txt.sig beside the list.
  // otherServers: mirrors of serverBase, in order. release.sig is asked of
  // every server at once and the newest that verifies is followed; each
  // transfer then goes to the next server when one fails it (no answer, an
  // HTTP error, bytes that are not the object), and a server that failed
  // is asked last for the rest of the run. The manifest's own mirrors join
  // them. With one server, every step is as it was without mirrors.
  // With a root in trust, the roots after it are walked first (roots/N+1,
  // ...), and every manifest is judged by the newest; a broken chain or an
  // expired root refuses the run as a refused manifest does.
  // channel: the one followed ("" the default), whose release is read from
  // its own folder on each server.
  void FetchList(const std::string& serverBase, ReleaseTrust trust, std::vector<std::string> otherServers = {},
                 std::string channel = {});
  // Next: the offered rows are fetched, stamped and installed in order.
  // False, changing nothing, unless rows are offered.
  bool FetchFiles();
  // Stops any transfer; the run ends as cancelled.
  void Cancel();
  // In phase kInstalling: puts every staged file in place as one
  // transaction, or none of them (kRolledBack, the failing row "×"). With a
  // worker it ends later, on the event thread; meanwhile a cancel is
  // refused and a second call changes nothing.
  void Install();
  // /rollback: the previous release back as one transaction.
  void Rollback();

  // Told after an event of any transfer but DL's has been handled: the
  // window renders then, as it does after each of DL's.
  void SetChangeListener(std::function<void()> changed) { changed_ = std::move(changed); }

  void DL_Finished(std::int32_t value) override;
  void DL_Failed(std::int32_t code, std::int32_t extra) override;
  void DL_Progress(float fraction, std::int32_t extra1, std::int32_t extra2) override;
  void DL_Retrying(std::int32_t attempt, std::int32_t tries) override;

  Phase phase() const { return phase_; }
  Outcome outcome() const { return outcome_; }
  // Grows whenever phase, outcome or current() changes.
  std::uint64_t revision() const { return revision_; }
  const std::vector<FileRow>& rows() const { return rows_; }
  // Grows when the rows are replaced as a whole (a new list).
  std::uint64_t rowsRevision() const { return rowsRevision_; }
  // Indices of the rows whose status changed since the last call, in order.
  std::vector<size_t> TakeChangedRows();
  RowStatus rowStatus(size_t index) const {
    return index < fetch_.rowCount() ? fetch_.row(index).status : RowStatus{};
  }
  // While files are fetched, the rows staged so far plus one (at most the
  // number of rows): the "k" of "k/n"; 0 while the list is fetched (CurFile).
  std::int32_t current() const { return current_; }
  size_t stagedRows() const { return fetch_.stagedRows(); }
  // The first row (1-based) not yet staged, the one the table shows as
  // selected while files are fetched; 0 when every row is.
  std::int32_t firstUnstagedRow() const;
  // The bytes of the release fetched so far, per mille of all that is to be
  // fetched (which grows when a row falls back to another source); -1 while
  // no file is being fetched.
  int progressPerMille() const;

  std::string StagingFolder() const;
  // Where row k (1-based) is staged: a folder of its own, so that two files
  // of one name in different folders never meet.
  std::string RowStagingFolder(size_t k) const;
  void Log(const std::string& event) { log_.Event(event); }

 private:
  std::string AppFile(const std::string& name) const;
  void Advance(Phase phase) {
    phase_ = phase;
    ++revision_;
  }
  void End(Outcome outcome, const std::string& why);
  void ReplaceRows(std::vector<FileRow> rows);
  void SetRowStatus(size_t index, RowStatus status);
  void ListArrived(const FetchJob& job);
  void FetchManifest();
  void ManifestArrived();
  // release.sig of every server, asked so that caches revalidate it;
  // pastCaches adds a query that no cache has answered, and leaves out the
  // servers that did not answer before.
  void FetchReleaseManifest(bool pastCaches);
  // Starts the asks of the round that wait, on the free slots.
  void AskManifests();
  void ReleaseManifestArrived(size_t slot, const FetchJob& job);
  void ManifestAnswered(size_t server, ManifestAnswer answer, std::string detail, ReleaseManifest manifest = {});
  // Once every server has answered: the release followed, or the end.
  void DecideRelease();
  // The grace is over: whoever has not answered counts as silent.
  void PassOverStragglers();
  void UseRelease(size_t server);
  void FetchFixedNamedList();
  // The list, on slot 0, from the first server the job has not tried.
  void StartList(FetchJob job);
  // The job failed at its server for `why`: asked again of the next server
  // it has not tried (true; a queued kind waits first in the queue), or
  // false when none is left and the caller takes the failure as it always
  // did.
  bool TryAnotherServer(size_t slot, FetchJob job, const std::string& why);
  std::string JobName(const FetchJob& job) const;
  // "the delta package" or "the full package": pack is into the plan's packages.
  std::string PackageName(size_t pack) const;
  const std::string& ServerBase(size_t server) const { return fetch_.servers().base(server); }
  // " from <server>" when there is more than one to say which; "" with one.
  std::string FromServer(size_t server) const;
  // The manifest has verified and names this list: the rows are checked.
  void AcceptRelease(ReleaseManifest verified, std::uint64_t accepted);
  // Checked off the event thread; offered (or the run ended) once checked.
  void OfferRows(const std::string& listText);
  void RowsChecked(const Status& checked, std::vector<FileRow> rows);
  // The accepted serial, 0 when it was accepted on another channel: a move
  // between channels is no replay.
  std::uint64_t AcceptedSerial();
  std::uint64_t RecordedSerial();
  bool ChannelMoved();
  void RecordSerial();
  // Ends the run up to date and true when this installation does not take
  // the release now: held back by its rollout share, or an older channel's
  // release that is not exact.
  bool HoldsBack(const ReleaseManifest& verified, std::uint64_t accepted);
  std::uint32_t InstallationNumber();
  // The root walk, on slot 0, before the release round.
  void WalkRoots();
  void AskRoot(FetchJob job);
  void RootArrived(const FetchJob& job);
  void RootFailed(const FetchJob& job, std::int32_t code);
  void RootsWalked();
  // release.sig, or release3.sig under a root.
  const char* ManifestFileName() const;
  class SlotEvents;
  // The downloader of a slot: DL for slot 0, the others made when first
  // needed, each telling its events by its slot.
  Downloader& DownloaderOf(size_t slot);
  void AdoptDLEvent();
  // One road for every transfer's events, whichever slot and job.
  void SlotFinished(size_t slot);
  void SlotFailed(size_t slot, std::int32_t code);
  void SlotProgress(size_t slot, float fraction);
  void SlotRetrying(size_t slot, std::int32_t attempt, std::int32_t tries);
  void ListOrManifestFailed(size_t slot, const FetchJob& job, std::int32_t code);
  void IndexFailed(size_t slot, const FetchJob& job, std::int32_t code);
  // The rows a file transfer brings; none for the list, manifest or index.
  std::vector<size_t> RowsOf(const FetchJob& job) const;
  void Notify() {
    if (changed_) changed_();
  }
  // The object index, fetched beside the manifest by a downloader of its own
  // where there are more than DL (it then costs no round trip of its own),
  // else by DL once the files are asked for.
  void FetchObjectIndex(size_t slot);
  void StartIndex(size_t slot, FetchJob job);
  void ObjectIndexArrived(size_t slot, const FetchJob& job, bool arrived);
  // The fetch plan, and the first transfers.
  void PlanJobs();
  // Starts queued transfers while slots are free; kInstalling once every
  // row is staged.
  void Pump();
  void StartJob(size_t slot, const FetchJob& job);
  void StopAllTransfers();
  // False when the file is not staged: asked of another server, or the run
  // has ended.
  bool PlainArrived(size_t slot, const FetchJob& job, const std::string& staged, const std::string& sha256);
  // Off the event thread, then back on it: each row staged, or the job
  // asked of another server, or the rows fallen back.
  void CopyArrived(const FetchJob& job, const std::string& saved);
  void PackageArrived(const FetchJob& job, const std::string& saved);
  DecodeTask DecodeTaskFor(size_t row, const ObjectFrame& frame, std::uint64_t firstOffset, std::string how) const;
  // retry: a frame that fails sends the job to another server first.
  void StageFrames(const FetchJob& job, std::vector<SavedPart> parts, const char* wrongLength,
                   std::vector<DecodeTask> tasks, const std::string& source, bool retry = true);
  // Runs work on the worker and done back here, unless the run has moved on.
  void Background(std::function<void()> work, std::function<void()> done);
  // After the installed files are checked: planned, or straight to the
  // installation when every row is staged.
  void ContinueFetch();
  // Opens the connections of the slots that have none yet, to the server
  // the transfers ask first, while the installed files are checked.
  void PreconnectSlots();
  void PlanWhenReady();
  void Installed(const Status& installed, const TransactionFailure& failure, size_t count);
  // The row's current source failed: the next one of its chain is queued.
  void FallBack(size_t row, const std::string& why);
  // kAlreadyDated: staged from the installation with the list's time given
  // there already (a linked name shares the installed file's time).
  enum class Stamp { kWithListedTime, kAlreadyDated };
  void RowStaged(size_t row, const std::string& how, Stamp stamp = Stamp::kWithListedTime);
  bool EnoughRoom();
  InstallPaths Paths() const;
  std::string JournalPath() const;
  std::string RowName(size_t index) const;  // "k/n location"
  std::string StagedPath(size_t index) const;

  UpdateRunServices services_;
  UpdateLog log_;
  Phase phase_ = Phase::kStarting;
  Outcome outcome_ = Outcome::kNone;
  std::uint64_t revision_ = 1;
  std::vector<FileRow> rows_;
  std::uint64_t rowsRevision_ = 1;
  std::vector<size_t> changedRows_;
  std::int32_t current_ = 0;

  // Signed releases: with any trusted key or a root, every file must match
  // the verified manifest.
  ReleaseTrust trust_;
  std::optional<RootWalk> walk_;
  // The server's folder of the followed channel, "vmrkxupdate/" or
  // "vmrkxupdate/channels/<name>/".
  std::string tree_;
  std::string channel_;
  bool exact_ = false;  // the verified release is marked exact
  std::string listBytes_, listText_;
  bool signedRelease_ = false;
  std::uint64_t pendingSerial_ = 0;  // a verified serial above the accepted one, until the release is in
  std::map<std::string, ManifestFile> signedFiles_;
  // How a signed release is fetched: release.sig asked first; when the
  // server has none, the list and list.txt.sig at their fixed names.
  enum class Road { kUnsigned, kWalkingRoots, kAskingRelease, kContentNamed, kFixedNames };
  Road road_ = Road::kUnsigned;
  bool askedPastCaches_ = false;
  bool triedFixedNamedList_ = false;
  // The release.sig round, by server (myip.txt's, in order).
  struct ServerRound {
    bool asked = false;
    ManifestAnswer answer;
    std::string detail;       // the refusal, the HTTP status, the failure
    ReleaseManifest manifest;  // kVerified
  };
  std::vector<ServerRound> round_;
  std::chrono::steady_clock::time_point roundBegan_;
  std::uint64_t rounds_ = 0;  // an alarm of an earlier round does nothing
  // A fired alarm is kept until the next is made: none is destroyed from
  // inside its own call.
  std::unique_ptr<platform::Alarm> graceAlarm_, spentAlarm_;
  size_t listServer_ = 0;    // kFixedNames: list.txt.sig comes from where the list came
  ReleaseManifest release_;  // kContentNamed: verified, until its list has arrived

  // The fetch. Every slot's downloader delivers on this thread.
  std::function<void()> changed_;
  FetchScheduler fetch_;
  struct OwnedDownloader {
    std::unique_ptr<Downloader> dl;
    std::unique_ptr<SlotEvents> events;
  };
  std::vector<OwnedDownloader> downloaders_;  // by slot; slot 0 is DL, not owned
  bool indexAsked_ = false;
  // Stretches saved and waiting for the rest of their chain (by stretch).
  std::map<size_t, std::string> partsArrived_;
  std::optional<ObjectIndex> objects_;
  bool checkingInstalled_ = false;  // the installed files are being hashed
  bool installing_ = false;         // the transaction runs on the worker
  bool asking_ = false;             // inside Background: a done that runs now needs no render of its own
  // Last: destroyed first, so that no piece of work outlives what it reports to.
  std::unique_ptr<platform::BackgroundWork> work_;
};

}  // namespace vmrk
