// One file the list check offers: a row of the window's file table.
#pragma once

#include <cstdint>
#include <string>

#include "updatelist/location.h"

namespace vmrk {

namespace texts {
// The texts of a row's status column.
inline constexpr char kRowWaiting[] = "等待";
inline constexpr char kRowDone[] = "√";
inline constexpr char kRowFailed[] = "×";
// While its transfer waits to be tried again: "重试 1/3".
inline std::string RowRetrying(long attempt, long tries) {
  return "重试 " + std::to_string(attempt) + "/" + std::to_string(tries);
}
}  // namespace texts

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
  // The location parsed where the row was planned.
  LocationParts where;
};

}  // namespace vmrk
