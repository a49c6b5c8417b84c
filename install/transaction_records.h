// The two texts that carry a release across a crash and to the next update:
// the journal of a transaction under way, and the record of the previous
// release (docs/installation-journal.md). Both are read back from whatever a
// crash, a power cut or a user left, so the readers take any bytes at all.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

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
// after its header. False when the header is not whole (nothing was done
// under it: the header goes to disk with the first batch, before any step).
struct JournalText {
  std::string kind;
  std::vector<Record> records;
};
bool ParseJournal(std::string_view text, JournalText* journal);

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
};
// False when the text is no record, or records nothing to restore (it may
// still name dropped copies).
bool ParsePreviousRelease(std::string_view text, PreviousRelease* previous);
std::string PreviousReleaseText(const PreviousRelease& previous);

}  // namespace vmrk
