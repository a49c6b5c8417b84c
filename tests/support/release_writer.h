// A release as the server offers it: the files below vmrkxupdate/ and the
// list naming them, written as rich text by the project's own writer.
#pragma once

#include <string>
#include <vector>

#include "platform/civil_time.h"
#include "tests/support/temp_dir.h"
#include "updatelist/list_date.h"
#include "updatelist/rtf_writer.h"

namespace vmrk::test {

struct ReleaseFile {
  std::string location;
  std::string content;
  platform::CivilTime modified{2008, 5, 12, 14, 30, 5};
  std::string listedSize;  // "" for the content's real length
};

// Bytes as a compiled program has them: they do not compress, and a patch
// between two of different seeds is as large as the file.
inline std::string IncompressibleBytes(unsigned seed, size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 23);
  return bytes;
}

inline void WriteRelease(const TempDir& release, const std::vector<ReleaseFile>& files) {
  std::string list;
  for (const ReleaseFile& f : files) {
    std::string relative = f.location;
    for (char& c : relative)
      if (c == '\\') c = '/';
    release.Write("vmrkxupdate/" + relative, f.content);
    list += f.location + "?" + (f.listedSize.empty() ? std::to_string(f.content.size()) : f.listedSize) + "*" +
            FormatListDate(f.modified) + "\r\n";
  }
  release.Write("vmrkxupdate/list.txt", PlainTextToRtf(list));
}

}  // namespace vmrk::test
