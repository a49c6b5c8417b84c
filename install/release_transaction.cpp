#include "install/release_transaction.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <set>

#include "install/folder_chain.h"
#include "install/link_confinement.h"
#include "install/transaction_records.h"
#include "platform/file_identity.h"
#include "platform/files.h"
#include "platform/temp_name.h"
#include "updatelist/file_helpers.h"

namespace vmrk {
namespace {

using platform::FileSystem;

std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of(platform::PathSeparator() == '\\' ? "\\/" : "/");
  return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

// What a step was, for the log of a failure.
Status Step(const std::string& what, const Status& why) {
  return why.ok() ? why : Status::Error(what + ": " + why.message());
}

// Has every change of names made in these folders on disk, one flush per
// volume: the barrier between two kinds of step whose order a power cut must
// not undo. Folders that are gone (removed by the steps) are passed over;
// their parents are named too.
Status Barrier(FileSystem& fs, const std::set<std::string>& folders) {
  std::vector<std::string> existing;
  for (const std::string& folder : folders)
    if (fs.IsFolder(folder)) existing.push_back(folder);
  return existing.empty() ? Status::Ok() : fs.FlushVolumes(existing);
}

// A folder a transaction made goes when it is empty; one that something else
// has come into since stays, and is no failure.
Status RemoveMadeFolder(FileSystem& fs, const std::string& folder) {
  if (!fs.IsFolder(folder)) return Status::Ok();
  Status removed = fs.RemoveEmptyFolder(folder);
  if (removed.ok()) return removed;
  Result<std::vector<platform::FolderEntry>> entries = platform::ListFolder(folder);
  if (entries.ok() && !entries->empty()) return Status::Ok();
  return Step("removing the folder " + folder, removed);
}

// Removes the copies a transaction lets go; those that cannot go (in use)
// are returned, for the record to name until a later transaction manages.
std::vector<std::string> LetGo(FileSystem& fs, const std::vector<std::string>& copies) {
  std::vector<std::string> stay;
  for (const std::string& copy : copies)
    if (fs.Exists(copy) && !fs.RemoveFile(copy).ok()) stay.push_back(copy);
  return stay;
}

// The journal as it is written: the header with the first batch of records,
// then a batch at a time; each batch is on disk before the first step it
// names is taken, and so is the journal's name, in its folder, whatever
// volume the steps are on. A step recorded but never taken is harmless to
// undo.
class Journal {
 public:
  Journal(FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
  // Never over a journal that is there: that one is an interrupted
  // transaction's, and only its recovery may remove it.
  Status Begin(const std::string& kind) {
    if (fs_.Exists(path_))
      return Status::Error("the journal of an interrupted installation is still there: " + path_);
    pending_ = std::string(kJournalHeader) + "\t" + kind + "\n";
    records_ = {vmrk::Record{"begin", {kind}}};
    return Status::Ok();
  }
  void Record(const std::string& verb, std::initializer_list<std::string> fields) {
    records_.push_back(vmrk::Record{verb, fields});
    pending_ += RecordLine(verb, fields);
  }
  Status Flush() {
    Status written;
    if (!created_) {
      written = fs_.WriteNewFile(path_, pending_);
      created_ = written.ok();
      if (written.ok()) written = fs_.FlushFolder(FolderOf(path_));
    } else {
      written = fs_.AppendDurably(path_, pending_);
    }
    pending_.clear();
    return Step("writing the journal", written);
  }
  // The records so far, the first one "begin" with the kind.
  const std::vector<vmrk::Record>& records() const { return records_; }
  const std::string& path() const { return path_; }

 private:
  FileSystem& fs_;
  std::string path_;
  std::vector<vmrk::Record> records_;
  std::string pending_;
  bool created_ = false;
};

// Undoes every recorded step, in three rounds with a barrier after each, so
// that what a round did is on disk before the next one decides from it.
// Every step decides from the journal and from what is there now, never from
// what it did before: the same rounds run again, after a kill or a power cut
// anywhere in them, come to the same installation.
//
// For a file, the names the journal gives it tell its state apart: placed P,
// target T, and where T was set aside its copy C.
//   P, T, no C: placed, nothing moved     -> P goes
//   P, C, no T: set aside                 -> C back to T, then P goes
//   T, C, no P: moved in                  -> T back to P, C back to T, P goes
//   T alone: nothing placed, or all undone -> nothing
// A file moved in without a copy set aside (a new file) has T and no P.
// The journal goes once all is undone and on disk; if anything could not be
// undone it stays, with every file it names, for the next start.
Status Undo(FileSystem& fs, const std::vector<Record>& records, const std::string& journal) {
  std::map<std::string, std::string> asideOf;  // target -> the copy it was set aside as
  for (const Record& r : records)
    if (r.verb == "aside") asideOf[r.at(0)] = r.at(1);

  std::set<std::string> touched;
  Status result;
  auto take = [&](const std::string& what, const std::string& path, Status done) {
    touched.insert(FolderOf(path));
    if (result.ok() && !done.ok()) result = Step(what, done);
  };
  // 1. What was moved in goes back to its placed name (for a rollback: the
  //    kept copy back to its name), while its copy set aside is still aside.
  for (auto r = records.rbegin(); r != records.rend(); ++r) {
    if (r->verb != "in") continue;
    const std::string &placed = r->at(0), &target = r->at(1);
    auto aside = asideOf.find(target);
    if (!fs.Exists(placed) && fs.Exists(target) && (aside == asideOf.end() || fs.Exists(aside->second)))
      take("undoing the move of " + placed + " to " + target, target, fs.RenameNoReplace(target, placed));
  }
  if (result.ok()) result = Step("flushing the undone moves", Barrier(fs, touched));
  // 2. What was set aside comes back to its name, now free.
  for (auto r = records.rbegin(); result.ok() && r != records.rend(); ++r) {
    if (r->verb != "aside") continue;
    const std::string &target = r->at(0), &copy = r->at(1);
    if (fs.Exists(copy) && !fs.Exists(target))
      take("putting " + copy + " back as " + target, target, fs.RenameNoReplace(copy, target));
  }
  if (result.ok()) result = Step("flushing the restored files", Barrier(fs, touched));
  // 3. The placed copies go, then the folders made for them, when empty:
  //    anything put there since is not ours to remove.
  for (auto r = records.rbegin(); result.ok() && r != records.rend(); ++r) {
    if (r->verb == "place" && fs.Exists(r->at(0))) {
      take("removing " + r->at(0), r->at(0), fs.RemoveFile(r->at(0)));
    } else if (r->verb == "mkdir" && fs.IsFolder(r->at(0))) {
      touched.insert(FolderOf(r->at(0)));
      if (Status gone = RemoveMadeFolder(fs, r->at(0)); result.ok() && !gone.ok()) result = gone;
    }
  }
  if (result.ok()) result = Step("flushing the removals", Barrier(fs, touched));
  if (result.ok() && fs.Exists(journal)) result = Step("removing the journal", fs.RemoveFile(journal));
  return result;
}

std::string PreviousFile(const InstallPaths& paths) {
  return paths.applicationPath + platform::PathSeparator() + kPreviousReleaseFile;
}

// What the record names; nothing when there is none, or it cannot be read,
// or it is no record.
PreviousRelease ReadPrevious(FileSystem& fs, const InstallPaths& paths) {
  std::string text;
  if (!fs.Exists(PreviousFile(paths)) || !fs.ReadWholeFile(PreviousFile(paths), &text).ok()) return {};
  Result<PreviousRelease> previous = ParsePreviousRelease(text);
  return previous.ok() ? std::move(previous).value() : PreviousRelease{};
}

// The record replaced as a whole: a new file beside it renamed over it, and
// that rename on disk before anything that relies on it.
Status WritePrevious(FileSystem& fs, const InstallPaths& paths, const std::string& text) {
  const std::string record = PreviousFile(paths);
  const std::string temp = platform::NextTempPathBeside(record, platform::TempKind::kAtomicWrite);
  Status written = fs.WriteNewFile(temp, text);
  if (written.ok()) written = fs.RenameReplacing(temp, record);
  if (!written.ok() && fs.Exists(temp)) fs.RemoveFile(temp).IgnoreError();
  if (written.ok()) written = fs.FlushFolder(paths.applicationPath);
  return Step("writing " + record, written);
}

void Register(const std::string& target, const std::string& windowsFolder) {
  Registration registration = RegistrationOf(target, windowsFolder);
  // Not waited for, and its outcome is not looked at.
  if (FileExists(registration.program))
    platform::StartDetached(registration.program, registration.arguments).IgnoreError();
}

// The last steps of a committed transaction, each safe to take again: what
// it replaced becomes the previous release (install) or is let go
// (rollback), the journal goes, and then components are registered.
Status Finish(FileSystem& fs, const std::vector<Record>& records, const TransactionPaths& paths) {
  const std::string kind = records.empty() ? "" : records[0].at(0);
  std::vector<std::string> registered;
  for (const Record& r : records)
    if (r.verb == "in" && r.at(2) == "1") registered.push_back(r.at(1));
  std::vector<std::string> dropped;
  for (const Record& r : records)
    if (r.verb == "drop") dropped.push_back(r.at(0));
  if (kind == "install") {
    PreviousRelease kept;
    std::set<std::string> replaced, registers(registered.begin(), registered.end());
    for (const Record& r : records) {
      if (r.verb == "aside") {
        kept.replaced.push_back({r.at(0), r.at(1), registers.count(r.at(0)) > 0});
        replaced.insert(r.at(0));
      }
      if (r.verb == "mkdir") kept.made.push_back(r.at(0));
    }
    for (const Record& r : records)
      if (r.verb == "in" && !replaced.count(r.at(1))) kept.added.push_back(r.at(1));
    // The release kept before this one is let go first: while the journal
    // is there, the old record naming those copies is never read; the new
    // one names what could not go, and is on disk before the journal goes.
    kept.dropped = LetGo(fs, dropped);
    std::set<std::string> touched;
    for (const std::string& copy : dropped) touched.insert(FolderOf(copy));
    if (Status flushed = Barrier(fs, touched); !flushed.ok()) return Step("flushing the removed copies", flushed);
    if (Status written = WritePrevious(fs, paths.install, PreviousReleaseText(kept)); !written.ok()) return written;
  } else if (kind == "rollback") {
    // What the rolled back release had put in goes, and so do the folders it
    // made, when nothing else has come into them.
    for (const Record& r : records)
      if (r.verb == "aside") dropped.push_back(r.at(1));
    PreviousRelease leftover;
    leftover.dropped = LetGo(fs, dropped);
    std::set<std::string> touched = {paths.install.applicationPath};
    for (const std::string& copy : dropped) touched.insert(FolderOf(copy));
    for (auto r = records.rbegin(); r != records.rend(); ++r) {
      if (r->verb != "made") continue;
      touched.insert(FolderOf(r->at(0)));
      if (Status gone = RemoveMadeFolder(fs, r->at(0)); !gone.ok()) return gone;
    }
    // No release to restore any more: the record goes, or names only what
    // could not be removed.
    const std::string record = PreviousFile(paths.install);
    if (!leftover.dropped.empty()) {
      if (Status written = WritePrevious(fs, paths.install, PreviousReleaseText(leftover)); !written.ok())
        return written;
    } else if (fs.Exists(record)) {
      if (Status gone = fs.RemoveFile(record); !gone.ok()) return Step("removing " + record, gone);
    }
    if (Status flushed = Barrier(fs, touched); !flushed.ok()) return Step("flushing the rollback", flushed);
  } else {
    return Status::Error("a journal of an unknown kind \"" + kind + "\"");
  }
  if (fs.Exists(paths.journal))
    if (Status gone = fs.RemoveFile(paths.journal); !gone.ok()) return Step("removing the journal", gone);
  for (const std::string& target : registered) Register(target, paths.install.windowsFolder);
  return Status::Ok();
}

// The side file stands for the updater's own program, whatever the list
// calls it; every other file for its target.
std::string TargetOf(const LocationParts& where, const InstallPaths& paths, bool* side) {
  *side = EqualsIgnoringCase(where.fileName, platform::UpdaterProgramName()) || where.target == paths.runningProgram ||
          platform::SameFile(where.target, paths.runningProgram);
  return *side ? paths.applicationPath + platform::PathSeparator() + platform::SideFileName() : where.target;
}

Status Fail(FileSystem& fs, Journal& journal, const Status& why, TransactionFailure* failure) {
  Status undone = Undo(fs, journal.records(), journal.path());
  failure->undone = undone.ok();
  if (!undone.ok()) return Status::Error(why.message() + "; and undoing it failed: " + undone.message());
  return why;
}

}  // namespace

Status InstallRelease(FileSystem& fs, const TransactionPaths& paths, const std::vector<InstallItem>& items,
                      TransactionFailure* failure) {
  *failure = {};
  failure->item = items.size();
  const InstallPaths& p = paths.install;

  // The plan, from what is there now; nothing changes yet.
  struct Plan {
    std::string target, placed, backup;
    std::vector<std::string> folders;  // to make first, parent first
    bool side = false;
  };
  std::vector<Plan> plans(items.size());
  std::set<std::string> planned;
  FolderConfinement confinement({p.applicationPath, p.windowsFolder});
  for (size_t i = 0; i < items.size(); ++i) {
    const LocationParts& where = items[i].where;
    Plan& plan = plans[i];
    plan.target = TargetOf(where, p, &plan.side);
    auto refuse = [&](const Status& why) {
      failure->item = i;
      return Status::Error(where.location + ": " + why.message());
    };
    if (fs.IsFolder(plan.target)) return refuse(Status::Error("a folder stands where the file belongs"));
    if (!plan.side) {
      const std::string& base = where.underApplication ? p.applicationPath : p.windowsFolder;
      if (Status confined = confinement.Check(base, where.rest); !confined.ok())
        return refuse(confined);
      for (const std::string& folder : MissingFolders(base, where.folderPart))
        if (planned.insert(folder).second) plan.folders.push_back(folder);
    }
    plan.placed = platform::NextTempPathBeside(plan.target, platform::TempKind::kPlacing);
  }

  Journal journal(fs, paths.journal);
  if (Status begun = journal.Begin("install"); !begun.ok()) return begun;
  const PreviousRelease before = ReadPrevious(fs, p);
  for (const PreviousRelease::Replaced& r : before.replaced) journal.Record("drop", {r.backup});
  for (const std::string& copy : before.dropped)
    if (fs.Exists(copy)) journal.Record("drop", {copy});
  for (const Plan& plan : plans) {
    for (const std::string& folder : plan.folders) journal.Record("mkdir", {folder});
    journal.Record("place", {plan.placed, plan.target});
  }
  if (Status s = journal.Flush(); !s.ok()) return Fail(fs, journal, s, failure);

  // Prepare: each new file beside its target; nothing installed is touched.
  std::vector<std::string> placed;
  for (size_t i = 0; i < items.size(); ++i) {
    auto fail = [&](const Status& why) {
      failure->item = i;
      return Fail(fs, journal, Status::Error(items[i].where.location + ": " + why.message()), failure);
    };
    for (const std::string& folder : plans[i].folders)
      if (Status made = fs.CreateFolder(folder); !made.ok()) return fail(made);
    if (Status put = fs.PlaceFile(items[i].staged, plans[i].placed, plans[i].target); !put.ok()) return fail(put);
    placed.push_back(plans[i].placed);
  }
  if (Status s = fs.FlushVolumes(placed); !s.ok()) return Fail(fs, journal, s, failure);

  // Commit: renames only, every one recorded before the first is made; every
  // installed file is set aside, and that is on disk, before the first new
  // one moves in, so that no order a power cut keeps has a target replaced
  // with its old file not aside.
  journal.Record("commit", {});
  std::vector<std::string> backups, targets;
  for (size_t i = 0; i < items.size(); ++i) {
    if (fs.Exists(plans[i].target)) {
      plans[i].backup = platform::NextTempPathBeside(plans[i].target, platform::TempKind::kBackup);
      journal.Record("aside", {plans[i].target, plans[i].backup});
    }
    const bool registers = items[i].where.registers && !plans[i].side;
    journal.Record("in", {plans[i].placed, plans[i].target, registers ? "1" : "0"});
  }
  if (Status s = journal.Flush(); !s.ok()) return Fail(fs, journal, s, failure);
  for (size_t i = 0; i < items.size(); ++i) {
    if (plans[i].backup.empty()) continue;
    if (Status moved = fs.RenameNoReplace(plans[i].target, plans[i].backup); !moved.ok()) {
      failure->item = i;
      return Fail(fs, journal, Status::Error(items[i].where.location + ": " + moved.message()), failure);
    }
    backups.push_back(plans[i].backup);
  }
  if (!backups.empty())
    if (Status s = fs.FlushVolumes(backups); !s.ok()) return Fail(fs, journal, s, failure);
  for (size_t i = 0; i < items.size(); ++i) {
    // Never over a file: the target was set aside, or was not there.
    if (Status moved = fs.RenameNoReplace(plans[i].placed, plans[i].target); !moved.ok()) {
      failure->item = i;
      return Fail(fs, journal, Status::Error(items[i].where.location + ": " + moved.message()), failure);
    }
    targets.push_back(plans[i].target);
  }
  if (Status s = fs.FlushVolumes(targets); !s.ok()) return Fail(fs, journal, s, failure);
  journal.Record("committed", {});
  if (Status s = journal.Flush(); !s.ok()) return Fail(fs, journal, s, failure);
  // The release is in. What is left to do the next start finishes from the
  // journal if it cannot be done now.
  Finish(fs, journal.records(), paths).IgnoreError();
  return Status::Ok();
}

Recovery RecoverInterruptedRelease(FileSystem& fs, const TransactionPaths& paths, std::string* log) {
  if (!fs.Exists(paths.journal)) return Recovery::kNothing;
  std::string text;
  if (Status read = fs.ReadWholeFile(paths.journal, &text); !read.ok()) {
    *log = "cannot read the journal of an interrupted installation, kept for the next start: " + read.message();
    return Recovery::kFailed;
  }
  Result<JournalText> journal = ParseJournal(text);
  if (!journal.ok()) {
    // Its header goes to disk with the first batch, before any step.
    if (Status gone = fs.RemoveFile(paths.journal); !gone.ok()) {
      *log = "cannot remove the journal of an interrupted installation that had taken no step: " + gone.message();
      return Recovery::kFailed;
    }
    *log = "an interrupted installation had taken no step";
    return Recovery::kRolledBack;
  }
  std::vector<Record> records = std::move(journal->records);
  records.insert(records.begin(), Record{"begin", {journal->kind}});
  const std::string& kind = journal->kind;
  if (kind != "install" && kind != "rollback") {
    *log = "the journal of an interrupted installation is of an unknown kind \"" + kind + "\", kept for the next start";
    return Recovery::kFailed;
  }
  if (std::any_of(records.begin(), records.end(), [](const Record& r) { return r.verb == "committed"; })) {
    Status finished = Finish(fs, records, paths);
    *log = "an interrupted " + kind + " had committed; " +
           (finished.ok() ? std::string("finished it")
                          : "finishing it failed, the journal is kept for the next start: " + finished.message());
    return finished.ok() ? Recovery::kCompleted : Recovery::kFailed;
  }
  Status undone = Undo(fs, records, paths.journal);
  *log = "an interrupted " + kind +
         (undone.ok() ? std::string(" was undone")
                      : " could not be undone, the journal is kept for the next start: " + undone.message());
  return undone.ok() ? Recovery::kRolledBack : Recovery::kFailed;
}

bool HasPreviousRelease(const InstallPaths& paths) {
  return ReadPrevious(platform::HostFileSystem(), paths).restorable();
}

Status RollbackRelease(FileSystem& fs, const TransactionPaths& paths, TransactionFailure* failure) {
  *failure = {};
  const PreviousRelease previous = ReadPrevious(fs, paths.install);
  failure->nothing = !previous.restorable();
  if (failure->nothing) return Status::Error("no previous release is kept");
  for (const PreviousRelease::Replaced& r : previous.replaced)
    if (!fs.Exists(r.backup)) return Status::Error("the kept copy of " + r.target + " is gone");
  Journal journal(fs, paths.journal);
  if (Status begun = journal.Begin("rollback"); !begun.ok()) return begun;
  // The folders the release made, for the finish to remove: the record that
  // names them goes before the journal does.
  for (const std::string& folder : previous.made) journal.Record("made", {folder});
  for (const std::string& copy : previous.dropped)
    if (fs.Exists(copy)) journal.Record("drop", {copy});
  // Every rename recorded before the first is made, and every file set aside
  // before the first kept copy moves in, as for an installation.
  journal.Record("commit", {});
  struct Move {
    std::string from, to;
  };
  std::vector<Move> asides, ins;
  auto setAside = [&](const std::string& target) {
    if (!fs.Exists(target)) return;
    const std::string aside = platform::NextTempPathBeside(target, platform::TempKind::kBackup);
    journal.Record("aside", {target, aside});
    asides.push_back({target, aside});
  };
  for (const PreviousRelease::Replaced& r : previous.replaced) {
    setAside(r.target);
    journal.Record("in", {r.backup, r.target, r.registers ? "1" : "0"});
    ins.push_back({r.backup, r.target});
  }
  for (const std::string& target : previous.added) setAside(target);
  if (Status s = journal.Flush(); !s.ok()) return Fail(fs, journal, s, failure);
  for (const std::vector<Move>* round : {&asides, &ins}) {
    std::vector<std::string> moved;
    for (const Move& move : *round) {
      if (Status s = fs.RenameNoReplace(move.from, move.to); !s.ok()) return Fail(fs, journal, s, failure);
      moved.push_back(move.to);
    }
    if (!moved.empty())
      if (Status s = fs.FlushVolumes(moved); !s.ok()) return Fail(fs, journal, s, failure);
  }
  journal.Record("committed", {});
  if (Status s = journal.Flush(); !s.ok()) return Fail(fs, journal, s, failure);
  Finish(fs, journal.records(), paths).IgnoreError();  // as for an installation: restored, the rest is the next start's
  return Status::Ok();
}

std::vector<std::string> PreviousReleaseBackups(const InstallPaths& paths) {
  const PreviousRelease previous = ReadPrevious(platform::HostFileSystem(), paths);
  std::vector<std::string> backups;
  for (const PreviousRelease::Replaced& r : previous.replaced) backups.push_back(r.backup);
  return backups;
}

}  // namespace vmrk
