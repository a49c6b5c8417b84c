// The two texts that carry a release across a crash and to the next update:
// the journal of a transaction under way, and the record of the previous
// release (docs/installation-journal.md). Both are read back from whatever a
// crash, a power cut or a user left, so the readers take any bytes at all.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace vmrk {

inline constexpr char kJournalHeader[] = "vmrkxupdate-journal 1";
inline constexpr char kPreviousHeader[] = "vmrkxupdate-previous 1";

// One line: a verb and its fields, tab-separated. Paths may hold anything but
// NUL, so "%", tab and line breaks are escaped.
struct Record {
  std::string verb;
  std::vector<std::string> fields;
  // The field, or "" where the line has fewer.
  const std::string& at(size_t i) const;
};

std::string RecordLine(std::string_view verb, std::initializer_list<std::string> fields);

// The complete lines of a text: a last line without its line break was torn
// by a crash while it was written, and never counts.
std::vector<Record> ParseRecords(std::string_view text);

// A journal read back: its kind ("install" or "rollback") and the records
// after its header. Fails, of kind kInvalid, when the header is not whole
// (nothing was done under it: the header goes to disk with the first batch,
// before any step). The kind is not checked here.
struct JournalText {
  std::string kind;
  std::vector<Record> records;
};
Result<JournalText> ParseJournal(std::string_view text);

// The release before the last update, as the files it replaced.
struct PreviousRelease {
  struct Replaced {
    std::string target, backup;
    bool registers = false;
  };
  std::vector<Replaced> replaced;
  std::vector<std::string> added;
  std::vector<std::string> made;  // folders the release made, parent first
  // Copies let go that could not be removed (in use): the next transaction
  // tries again, and the sweep does not spare them.
  std::vector<std::string> dropped;
  // Something for a rollback to restore. A record may have nothing and still
  // name dropped copies (one left by a rollback): it is read all the same.
  bool restorable() const { return !replaced.empty() || !added.empty(); }
};
// Fails, of kind kInvalid, only when the text is no record (its header is not
// whole); lines of no known verb, or missing their fields, are passed over.
Result<PreviousRelease> ParsePreviousRelease(std::string_view text);
std::string PreviousReleaseText(const PreviousRelease& previous);

}  // namespace vmrk
