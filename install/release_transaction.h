// A release put in place as one transaction: every file or none.
//
// Prepare places each new file as a hidden copy beside its target (so the
// commit is renames only) and makes the missing folders; the commit moves
// every installed file aside as its backup, and then every new one in. A
// journal in the staging folder records every step before it is taken and is
// on disk, name and all, before the step, so that a run killed or a machine
// cut off at any moment is completed or undone by the next start (Recover).
// Any failure undoes every step taken. After a commit the backups stay as
// the previous release, which Rollback puts back as a transaction of the
// same kind. Everything reaches the disk through the FileSystem passed in.
// docs/installation-journal.md gives the journal's and the previous
// release's records and the order in which they reach the disk.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "install/installer.h"
#include "platform/file_system.h"
#include "platform/status.h"
#include "updatelist/location.h"

namespace vmrk {

// The file that records the previous release, in the application folder.
inline constexpr char kPreviousReleaseFile[] = "vmrkxupdate.previous";
// The journal, in the staging folder.
inline constexpr char kJournalFile[] = "journal";

struct InstallItem {
  LocationParts where;  // as the row was planned
  std::string staged;   // the checked and stamped copy in the staging folder
};

// Where the transaction works: the installation's folders, the journal.
struct TransactionPaths {
  InstallPaths install;
  std::string journal;
};

// How a transaction that failed left the installation.
struct TransactionFailure {
  // InstallRelease: the item whose step failed (items.size() when it was no
  // item's).
  size_t item = 0;
  // RollbackRelease: no previous release is kept; nothing was done.
  bool nothing = false;
  // Every step taken was undone: the installation is as it was. When false,
  // undoing failed too: the journal and every file it names stay, and
  // RecoverInterruptedRelease takes it up again at the next start.
  bool undone = true;
};

// Puts every item in place, or leaves the installation as it was.
// Components are registered, in item order, only once the whole release is
// in. The previous release kept before is dropped; the files this one
// replaced are kept as the new previous release. Refuses to begin, changing
// nothing, while the journal of an earlier transaction is there.
Status InstallRelease(platform::FileSystem& fs, const TransactionPaths& paths, const std::vector<InstallItem>& items,
                      TransactionFailure* failure);

// What a journal left by a killed run came to.
enum class Recovery {
  kNothing,     // no journal: nothing was interrupted
  kRolledBack,  // the interrupted transaction was undone
  kCompleted,   // it had committed: its last steps were finished
  kFailed,      // a step could not be undone or finished; the journal and every file it names stay
};
// Run first at every start, before anything reads or changes the
// installation; when it fails, nothing else may touch the application
// folder. Running it again, or killing it at any step and running it again,
// comes to the same installation. *log gets a line for what was done, or
// which step failed and why.
Recovery RecoverInterruptedRelease(platform::FileSystem& fs, const TransactionPaths& paths, std::string* log);

// True when a previous release is kept that Rollback could restore.
bool HasPreviousRelease(const InstallPaths& paths);
// The kept copies of the previous release, which the start-up sweep spares.
std::vector<std::string> PreviousReleaseBackups(const InstallPaths& paths);
// Restores the previous release as one transaction and registers restored
// components; the release it replaces is not kept. Fails, changing nothing,
// when there is none (failure->nothing) or a step fails and is undone.
Status RollbackRelease(platform::FileSystem& fs, const TransactionPaths& paths, TransactionFailure* failure);

}  // namespace vmrk
