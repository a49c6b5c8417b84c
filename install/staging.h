// The staging folder below the application folder: every file transfer saves
// there, and the installation takes each file from there. Its names are made
// and recognised here only, so that the start-up cleanup removes every kind
// the run makes and nothing else. The disk work done in it (checking what is
// installed, decoding what arrived, emptying it) is here too: the run hands
// it to its worker with everything copied in, and reads the results back on
// the event thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "updatelist/release_objects.h"

namespace vmrk {

inline constexpr char kStagingFolderName[] = "update";

// The folder of the transfer numbered `number` (row k is number k, 1-based;
// the delta packages follow the rows): digits only.
std::string TransferFolderName(size_t number);
// True for a name TransferFolderName makes.
bool IsTransferFolderName(std::string_view name);
// A row staged as another name of its installed file: "<row>-<name>", a file
// directly in the staging folder (row 1-based).
std::string LinkedStagedName(size_t row, std::string_view fileName);

// Removes the files of the staging folder and the rows' own folders in it.
// Other folders are not the updater's and stay; so does the journal, which
// only the recovery of an interrupted installation removes. A file still in
// use stays for the next start; nothing is reported.
void EmptyStaging(const std::string& folder);

// One row's installed file: its content (none when it cannot be read), and
// whether it is the release's already and so was staged at `staged` as
// another name of it, with the list's time `modified` given to it
// (stampFailure says why that failed; the row is staged all the same).
struct InstalledCheck {
  std::optional<ContentId> installed;
  bool staged = false;
  std::string stampFailure;
};
InstalledCheck CheckInstalled(const std::string& target, const ContentId& wanted, const std::string& staged,
                              const std::string& modified);

// One row to stage from a frame that arrived, with everything the worker
// needs copied in: nothing of the run is read off the event thread.
struct DecodeTask {
  size_t row = 0;
  ObjectFrame about;
  std::uint64_t firstOffset = 0;       // where the saved bytes begin in the object
  std::optional<ContentId> expected;   // the manifest's; none: the manifest does not name the file
  std::string target, folder, staged;  // the installed file (a patch's base); where it is staged
  std::string how;                     // for the log, once staged
  Status outcome;                      // staged, or why not
};

// The saved object (a copy, or a stretch of a package `length` bytes long)
// read once, then each task's frame decoded, checked against the manifest and
// written to its staged path; each task's outcome says which. A saved object
// of another length fails every task with `wrongLength`. The saved file is
// gone after, whatever happened.
void DecodeSaved(const std::string& saved, std::uint64_t length, const char* wrongLength,
                 std::vector<DecodeTask>& tasks);

// The same for a stretch saved in parts (consecutive byte ranges, each
// fetched on its own, a frame cut between two of them): read as one, in
// order; a part of another length than its own fails every task. Every
// part is gone after.
struct SavedPart {
  std::string path;
  std::uint64_t length = 0;
};
void DecodeSaved(const std::vector<SavedPart>& parts, const char* wrongLength, std::vector<DecodeTask>& tasks);

}  // namespace vmrk
