// A list entry's Location ("app\plugins\a.dll"): its parts, where it lands,
// and whether it is safe to write there. The location comes from the server,
// so it is confined to the folder its root names.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk {

// A location parsed once, where its row is planned; the installation and
// the registration read these parts and never cut the text again.
struct LocationParts {
  std::string location;    // as the list gives it
  std::string rootPrefix;  // the first three characters
  std::string rest;        // from the fourth character on: "\plugins\a.dll"
  std::string fileName;    // behind the last backslash
  std::string folderPart;  // up to and including the last backslash: "app\plugins\"
  bool underApplication = false;  // rootPrefix is exactly "app"
  // Base folder (application path, or the Windows folder for any root but
  // "app") followed by the rest in the host's separators.
  std::string target;
  // A component registered once installed: root exactly "win" and ".dll" or
  // ".ocx" in any case.
  bool registers = false;
};

LocationParts PlanLocation(std::string_view location, const std::string& applicationPath,
                           const std::string& windowsFolder);

// Byte length of the root prefix: the location's first three characters
// (UTF-8), or the whole text when it is shorter. Every cut at "the fourth
// character" goes through here, so "窗口s\x" cuts after "s", never inside a
// character.
size_t RootPrefixBytes(std::string_view location);

// Ok when the location stays below its root folder. Otherwise it says why: a
// root that is not three characters and a backslash, an empty, "." or ".."
// component, a component ending in "." or " " (Windows drops those, so
// ".. " is ".."), a colon (drives, streams), a "/" or a control character.
Status CheckLocationIsSafe(std::string_view location);

// A location's backslashes in the host's spelling.
std::string NativeSeparators(std::string_view location);

bool EqualsIgnoringCase(std::string_view a, std::string_view b);
// ASCII letters only, as the list's names are compared: a byte of UTF-8 is
// never changed.
inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix);
bool ContainsIgnoringCase(std::string_view text, std::string_view part);

}  // namespace vmrk
