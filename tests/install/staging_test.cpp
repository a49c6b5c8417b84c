// A saved stretch of frames staged as it streams: every row of it gets its
// own file or its own reason, and nothing half-decoded is left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

#include "install/staging.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"
#include "updatelist/zstd_frames.h"

namespace vmrk {
namespace {

std::string StretchNoise(size_t length, std::uint64_t seed) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i + 8 <= length; i += 8) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    std::memcpy(&bytes[i], &seed, 8);
  }
  return bytes;
}

ContentId StretchId(std::string_view bytes) { return {platform::Sha256Bytes(bytes), bytes.size()}; }

std::string StretchFrame(std::string_view file, std::string_view base) {
  Result<std::string> frame = EncodeFrame(file, base, 1);
  EXPECT_TRUE(frame.ok());
  return frame.ok() ? *frame : std::string();
}

// The rows of one stretch. Frames lie in the stretch in the rows' order,
// except that two rows of one content share a frame.
struct StretchRow {
  const char* name;
  std::string file;       // what the manifest names
  std::string installed;  // the installed file
  std::string madeFrom;   // a patch's base; none for a whole frame
  bool manifestNamesIt = true;
  std::string shares;  // another row's name whose frame this row takes
};

TEST(Staging, EachFrameOfAStretchIsStagedAsItStreamsOrRefusedAlone) {
  const std::string text = "a small file that compresses, a small file that compresses";
  // Past the size held in memory: its output is written through a mapping.
  const std::string longBase = StretchNoise(12 << 20, 1);
  std::string longFile = longBase;
  longFile.replace(6 << 20, 4, "EDIT");
  // A frame spanning the reads' pieces, and a file long enough to be
  // written by a thread of its own.
  const std::string wideCopy = StretchNoise(5 << 20, 2);
  const std::vector<StretchRow> rows = {
      {"a copy", text, "", ""},
      {"a long file's patch", longFile, longBase, longBase},
      {"a copy longer than a read", wideCopy, "", ""},
      {"the same content again", text, "", "", true, "a copy"},
      {"a patch whose base changed since", "new" + text, "old" + text + "!", "old" + text},
      {"a file the manifest does not name", "unnamed", "", "", false},
      {"a small patch", text + "2", text, text},
  };

  // The faults a stretch may come with, each a row: what every task ends as.
  struct Fault {
    const char* name;
    std::function<void(std::string& stretch)> edit;
    std::uint64_t lengthAsked = 0;  // 0: the stretch's own
    bool rowsStand = true;          // false: every row fails as the stretch does
    const char* onlyFails = nullptr;
    size_t parts = 1;  // saved in this many equal parts, frames cut between them
  };
  const Fault faults[] = {
      {"as sent", [](std::string&) {}},
      {"cut short", [](std::string& s) { s.resize(s.size() - 10); }, 0, false},
      {"a byte more", [](std::string& s) { s += "x"; }, 0, false},
      {"the long patch corrupt", [&](std::string& s) { s[s.size() / 2] ^= 0x40; }, 0, true, "a long file's patch"},
      {"in three parts", [](std::string&) {}, 0, true, nullptr, 3},
      // A byte lost in the middle part must not shift the last one's bytes
      // onto the wrong frames.
      {"in three parts, the middle one a byte short", [](std::string& s) { s.pop_back(); }, 0, false, nullptr, 3},
  };

  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    test::TempDir dir;
    std::string stretch;
    std::vector<DecodeTask> tasks;
    std::map<std::string, ObjectFrame> framed;
    const std::uint64_t firstOffset = 1000;  // where the stretch lies in its package
    for (size_t r = 0; r < rows.size(); ++r) {
      const StretchRow& row = rows[r];
      DecodeTask task;
      task.row = r;
      task.target = dir.Write("app/" + std::to_string(r), row.installed);
      if (row.manifestNamesIt) task.expected = StretchId(row.file);
      task.folder = dir.Sub("update/" + std::to_string(r + 1));
      task.staged = task.folder + "/file";
      if (!row.shares.empty()) {
        task.about = framed.at(row.shares);
      } else {
        const std::string frame = StretchFrame(row.file, row.madeFrom);
        task.about.offset = firstOffset + stretch.size();
        task.about.length = frame.size();
        task.about.patch = !row.madeFrom.empty();
        task.about.file = StretchId(row.file);
        if (task.about.patch) task.about.base = StretchId(row.madeFrom);
        stretch += frame;
        framed[row.name] = task.about;
      }
      task.firstOffset = firstOffset;
      tasks.push_back(task);
    }
    const std::uint64_t length = fault.lengthAsked ? fault.lengthAsked : stretch.size();
    std::vector<SavedPart> parts;
    const std::uint64_t partLength = length / fault.parts;
    if (fault.parts == 1) fault.edit(stretch);
    for (size_t k = 0; k < fault.parts; ++k) {
      const std::uint64_t from = k * partLength, take = k + 1 < fault.parts ? partLength : stretch.size() - from;
      std::string part = stretch.substr(from, take);
      if (fault.parts > 1 && k == 1) fault.edit(part);  // the middle part as it arrived
      parts.push_back({dir.Write("update/saved" + std::to_string(k), part), take});
    }
    if (fault.parts == 1) DecodeSaved(parts[0].path, length, "the stretch is not its length", tasks);
    else DecodeSaved(parts, "the stretch is not its length", tasks);

    for (const SavedPart& part : parts) EXPECT_FALSE(platform::PathExists(part.path)) << "the saved stretch is gone after";
    for (size_t r = 0; r < rows.size(); ++r) {
      const StretchRow& row = rows[r];
      const DecodeTask& task = tasks[r];
      bool stands = fault.rowsStand && row.manifestNamesIt && std::string(row.name) != rows[4].name;
      if (fault.onlyFails && row.name == std::string(fault.onlyFails)) stands = false;
      EXPECT_EQ(task.outcome.ok(), stands) << row.name << ": " << task.outcome.message();
      if (stands) {
        EXPECT_TRUE(test::ReadFileBytes(task.staged) == row.file) << row.name;
      } else {
        EXPECT_FALSE(platform::PathExists(task.staged)) << row.name << ": nothing half-made is left";
        if (!fault.rowsStand) {
          EXPECT_EQ(task.outcome.message(), "the stretch is not its length") << row.name;
        }
      }
    }
    if (fault.rowsStand) {
      EXPECT_EQ(tasks[4].outcome.message(), "the installed file is not the patch's base");
      EXPECT_EQ(tasks[5].outcome.message(), "the manifest does not name the file");
    }
  }
}

}  // namespace
}  // namespace vmrk
