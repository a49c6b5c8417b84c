// One file the list check offers: a row of the window's file table.
#pragma once

#include <cstdint>
#include <string>

namespace vmrk {

// One row of ListView1: the row text and sub-items 1 to 4.
struct FileRow {
  std::string number;
  std::string location;
  std::string size;
  std::string modified;
  std::string status;
  // The list's Size, kept exactly: a staged file of any other length did not
  // arrive whole.
  std::int32_t exactSize = 0;
};

}  // namespace vmrk
