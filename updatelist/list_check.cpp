#include "updatelist/list_check.h"

#include <tuple>

#include "platform/civil_time.h"
#include "platform/crypto.h"
#include "platform/file_identity.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "updatelist/file_helpers.h"
#include "updatelist/list_date.h"
#include "updatelist/location.h"
#include "updatelist/size_text.h"
#include "updatelist/update_list.h"

namespace vmrk {
namespace {

auto ToMinute(const platform::CivilTime& t) { return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute); }

}  // namespace

Status CheckListText(std::string_view text, const std::string& applicationPath, const std::string& windowsFolder,
                     const std::string& runningProgram, std::vector<FileRow>* rows,
                     const std::map<std::string, ManifestFile>* exact) {
  rows->clear();
  Result<std::vector<UpdateListEntry>> read = ReadUpdateList(text);
  if (!read.ok()) return read.status();
  const std::vector<UpdateListEntry>& entries = *read;
  for (const UpdateListEntry& entry : entries)
    if (Status safe = CheckLocationIsSafe(entry.Location); !safe.ok())
      return Status::Error(entry.Location + ": " + safe.message());

  const std::string sideFile = applicationPath + platform::PathSeparator() + platform::SideFileName();
  for (const UpdateListEntry& entry : entries) {
    LocationParts parts = PlanLocation(entry.Location, applicationPath, windowsFolder);
    const std::string& target = parts.target;
    // One look gives presence, time and length: a check that stats each
    // file three times is three times slower on a big release.
    Result<platform::FileFacts> facts = platform::QueryFile(target);
    if (facts.ok() && facts->visibleFile) {
      // Both are local times of their machines, compared to the minute.
      platform::CivilTime installed = platform::UnixSecondsToLocal(facts->modifiedUnixSeconds);
      platform::CivilTime listed = *ParseListDate(entry.Modified);
      bool outOfDate = ToMinute(installed) < ToMinute(listed) || facts->length == 0;
      if (exact != nullptr) {
        auto named = exact->find(entry.Location);
        // The manifest names every listed file (checked before this); a
        // length that differs saves reading the file.
        outOfDate = named == exact->end() || facts->length != named->second.length;
        if (!outOfDate) {
          Result<platform::FileDigest> digest = platform::Sha256OfFile(target);
          outOfDate = !digest.ok() || digest->sha256 != named->second.sha256;
        }
      }
      if (!outOfDate) continue;
      // While the side file waits to be put in place, the updater's own
      // program is not offered again.
      bool updaterItself = EqualsIgnoringCase(parts.fileName, platform::UpdaterProgramName()) ||
                           platform::SameFile(target, runningProgram);
      if (updaterItself && FileExists(sideFile)) continue;
    }
    std::int32_t size = *ParseListSize(entry.Size);
    FileRow row;
    row.number = std::to_string(rows->size() + 1);
    row.location = entry.Location;
    row.size = SizeText(size);
    row.modified = entry.Modified;
    row.status = texts::kRowWaiting;
    row.exactSize = size;
    row.where = std::move(parts);
    rows->push_back(std::move(row));
  }
  return Status::Ok();
}

}  // namespace vmrk
