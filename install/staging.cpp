#include "install/staging.h"

#include "install/file_time_stamp.h"
#include "install/release_transaction.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "updatelist/zstd_frames.h"

namespace vmrk {
namespace {

void EmptyIn(const std::string& folder, bool top) {
  Result<std::vector<platform::FolderEntry>> entries = platform::ListFolder(folder);
  if (!entries.ok()) return;
  const char sep = platform::PathSeparator();
  for (const platform::FolderEntry& entry : *entries) {
    const std::string path = folder + sep + entry.name;
    if (entry.isFolder && top && IsTransferFolderName(entry.name)) {
      EmptyIn(path, false);
      platform::RemoveEmptyFolder(path).IgnoreError();
    } else if (!entry.isFolder && (!top || entry.name != kJournalFile)) {
      platform::RemoveFile(path).IgnoreError();
    }
  }
}

// Decodes one frame into its row's staging folder, checked against the
// manifest.
Status StageDecoded(const DecodeTask& task, const std::string& frame) {
  if (!task.expected) return Status::Error(Status::Kind::kInvalid, "the manifest does not name the file");
  // A patch applies only to the very file it was made from: read again, the
  // installed file may have changed since it was hashed.
  std::string base;
  if (task.about.patch) {
    if (!platform::ReadWholeFile(task.target, &base).ok() || base.size() != task.about.base.length ||
        platform::Sha256Bytes(base) != task.about.base.sha256)
      return Status::Error(Status::Kind::kInvalid, "the installed file is not the patch's base");
  }
  Result<std::string> file = DecodeFrame(frame, base, task.expected->length);
  if (!file.ok()) return file.status();
  if (file->size() != task.expected->length || platform::Sha256Bytes(*file) != task.expected->sha256)
    return Status::Error(Status::Kind::kInvalid, "it decodes to other bytes than the manifest names");
  if (!platform::PathExists(task.folder)) platform::CreateFolder(task.folder).IgnoreError();
  platform::RemoveFile(task.staged).IgnoreError();
  if (Status written = platform::AppendToFile(task.staged, *file); !written.ok()) {
    platform::RemoveFile(task.staged).IgnoreError();
    return Status::Error(written.kind(), "cannot be written here: " + written.message());
  }
  return Status::Ok();
}

}  // namespace

std::string TransferFolderName(size_t number) { return std::to_string(number); }

bool IsTransferFolderName(std::string_view name) {
  return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string LinkedStagedName(size_t row, std::string_view fileName) {
  return std::to_string(row) + "-" + std::string(fileName);
}

void EmptyStaging(const std::string& folder) { EmptyIn(folder, true); }

InstalledCheck CheckInstalled(const std::string& target, const ContentId& wanted, const std::string& staged,
                              const std::string& modified) {
  InstalledCheck check;
  Result<platform::FileDigest> installed = platform::Sha256OfFile(target);
  if (!installed.ok()) return check;
  check.installed = ContentId{installed->sha256, installed->length};  // a patch's base, perhaps
  if (installed->length != wanted.length || installed->sha256 != wanted.sha256) return check;
  // Its bytes are the release's already: staged as another name of the
  // installed file itself (no folder, no copy), so that the list's time
  // given to it is the installed file's at once. Installed or put back, the
  // file holds the same bytes, and only the time tells it is the new one's.
  if (!platform::LinkOrCopy(target, staged).ok()) return check;  // then it is fetched
  check.staged = true;
  if (Status stamped = StampFileTime(staged, modified); !stamped.ok()) check.stampFailure = stamped.message();
  return check;
}

void DecodeSaved(const std::string& saved, std::uint64_t length, const char* wrongLength,
                 std::vector<DecodeTask>& tasks) {
  std::string bytes;
  Status read = platform::ReadWholeFile(saved, &bytes);
  platform::RemoveFile(saved).IgnoreError();
  if (read.ok() && bytes.size() != length) read = Status::Error(Status::Kind::kInvalid, wrongLength);
  for (DecodeTask& task : tasks)
    task.outcome = read.ok() ? StageDecoded(task, bytes.substr(task.about.offset - task.firstOffset, task.about.length))
                             : read;
}

}  // namespace vmrk
