// A release put in place as one transaction: every file or none.
//
// Prepare places each new file as a hidden copy beside its target (so the
// commit is renames only) and makes the missing folders; the commit moves
// each installed file aside as its backup and the new one in. A journal in
// the staging folder records every step before it is taken and is on disk
// before the step, so that a run killed at any moment is completed or undone
// by the next start (Recover). Any failure undoes every step taken. After a
// commit the backups stay as the previous release, which Rollback puts back
// as a transaction of the same kind. docs/installation-journal.md gives the
// journal's and the previous release's records.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "install/installer.h"
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

// Puts every item in place, or leaves the installation as it was. On failure
// *failedItem is the index of the item whose step failed (items.size() when
// it was no item's). Components are registered, in item order, only once
// the whole release is in. The previous release kept before is dropped; the
// files this one replaced are kept as the new previous release.
Status InstallRelease(const TransactionPaths& paths, const std::vector<InstallItem>& items, size_t* failedItem);

// What a journal left by a killed run came to.
enum class Recovery {
  kNothing,     // no journal: nothing was interrupted
  kRolledBack,  // the interrupted transaction was undone
  kCompleted,   // it had committed: its last steps were finished
  kFailed,      // a step could not be undone or finished; the journal stays for the next start
};
// Run first at every start, before anything reads the installation. *log
// gets a line for what was done.
Recovery RecoverInterruptedRelease(const TransactionPaths& paths, std::string* log);

// True when a previous release is kept that Rollback could restore.
bool HasPreviousRelease(const InstallPaths& paths);
// The kept copies of the previous release, which the start-up sweep spares.
std::vector<std::string> PreviousReleaseBackups(const InstallPaths& paths);
// Restores the previous release as one transaction and registers restored
// components; the release it replaces is not kept. Fails, changing nothing,
// when there is none (*nothing set) or a step fails.
Status RollbackRelease(const TransactionPaths& paths, bool* nothing);

}  // namespace vmrk
