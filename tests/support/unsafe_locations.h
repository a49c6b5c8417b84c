// The locations that an updater refuses, one table for both sides: the list
// check must refuse each, and the generator must refuse to write any of them
// that a release folder on this system can hold.
#pragma once

#include <string>
#include <vector>

namespace vmrk::test {

struct UnsafeLocation {
  const char* name;
  std::string location;
  bool makeableAsFile;  // a POSIX release folder can hold it (the path with "/")
};

inline const std::vector<UnsafeLocation>& UnsafeLocations() {
  static const std::vector<UnsafeLocation> table = {
      {"parentFolder", "app\\..\\..\\etc\\passwd", false},
      {"dotFolder", "app\\.\\a.dll", false},
      {"emptyComponent", "app\\\\a.dll", false},
      {"trailingBackslash", "app\\plugins\\", false},
      {"drive", "C:\\Windows\\a.dll", false},
      {"colonInName", "app\\a:b.txt", true},
      {"leadingBackslash", "\\ab\\a.dll", false},
      {"fourCharacterRoot", "apps\\a.dll", true},
      {"twoCharacterRoot", "ap\\a.dll", false},
      {"slash", "app\\x/../../a.dll", false},
      {"controlCharacter", "app\\a\x01.dll", true},
      {"trailingDot", "app\\trail.", true},
      {"trailingSpace", "app\\sp ", true},
      {"folderEndingInDot", "app\\dir.\\a.dll", true},
      {"dotsAndSpaceIsParentOnWindows", "app\\.. \\a.dll", true},
      {"rootOnly", "app", false},
  };
  return table;
}

}  // namespace vmrk::test
