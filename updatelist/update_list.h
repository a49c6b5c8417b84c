// The plain text of the update list: one line per file,
// "Location?Size*Modified" and CR LF.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/civil_time.h"

namespace vmrk {

struct UpdateListEntry {
  std::string Location;
  std::string Size;
  std::string Modified;
};

// The lines the readers look at, in order. Reading ends at the first position
// with no CR LF after it, so text after the last CR LF is never a line, and a
// text that begins with CR LF has no lines at all. Lines of three characters
// or fewer are skipped. Each view points into text.
std::vector<std::string_view> UpdateListLines(std::string_view text);

// Splits a line at its first "?" and first "*". nullopt, with the reason, for
// a line without "?" or "*", with "*" before "?", or with a Location shorter
// than three characters.
std::optional<UpdateListEntry> SplitUpdateListLine(std::string_view line, std::string* reason);

// Size as a 32-bit signed count: decimal digits only.
std::optional<std::int32_t> ParseListSize(std::string_view size);

struct UpdateListReading {
  std::vector<UpdateListEntry> entries;  // the well-formed lines before the first bad one
  // Set when a line is malformed: its 1-based number among the text's CR LF
  // lines, and why.
  std::optional<size_t> badLineNumber;
  std::string badLineReason;

  // The entries' locations, in list order (what a release manifest names).
  std::vector<std::string> Locations() const {
    std::vector<std::string> locations;
    locations.reserve(entries.size());
    for (const UpdateListEntry& entry : entries) locations.push_back(entry.Location);
    return locations;
  }
};

// Every line split and its Size and Modified converted; stops at the first
// malformed line.
UpdateListReading ReadUpdateList(std::string_view text);

// One line as the generator writes it, CR LF included.
std::string FormatUpdateListLine(const UpdateListEntry& entry);

}  // namespace vmrk
