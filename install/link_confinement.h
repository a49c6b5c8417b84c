// A location is confined to its root by its text; a link or junction inside
// the root could still lead the write elsewhere. This follows the folders on
// the way as the file system will.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace vmrk {

// rest is a location's text from its fourth character on ("\sub\a.dll").
// Every folder on the way from base to the file that exists already must
// resolve to a place inside one of roots (links that stay inside are fine).
// The file itself is not followed: a link there is replaced, not written
// through. Folders still missing are made later below a checked parent.
Status CheckFoldersStayInside(const std::string& base, std::string_view rest, const std::vector<std::string>& roots);

// The same check for the many locations of one installation: the roots are
// resolved once, and a folder found inside is not resolved again (a release
// of a thousand files in a few dozen folders resolved each folder of each
// file's way before).
class FolderConfinement {
 public:
  explicit FolderConfinement(const std::vector<std::string>& roots);
  Status Check(const std::string& base, std::string_view rest);

 private:
  std::vector<std::string> resolvedRoots_;
  std::set<std::string> inside_;
};

}  // namespace vmrk
