// The comparison of an update list with the installed files: which entries
// are missing, older to the minute, or empty, and so become rows of the file
// table.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "updatelist/file_row.h"
#include "updatelist/release_manifest.h"

namespace vmrk {

// text is the list's plain text. Every line must be well formed (fields, a
// location that stays in its folder, a size and a date that convert) before
// any row is offered: on failure, saying the first thing wrong, *rows is
// empty. An installed file that cannot be looked at (a name too
// long, access denied) counts as missing: it is offered, and its installation
// then fails on its own row. runningProgram, the updater's own executable
// under whatever name, is not offered while the side file waits.
// exact, for a release marked so (by location, the manifest's files): an
// installed file is offered when its length or bytes differ from the
// manifest's, whatever the dates say, and not when they are the same; a
// file that cannot be read counts as different.
Status CheckListText(std::string_view text, const std::string& applicationPath, const std::string& windowsFolder,
                     const std::string& runningProgram, std::vector<FileRow>* rows,
                     const std::map<std::string, ManifestFile>* exact = nullptr);

}  // namespace vmrk
