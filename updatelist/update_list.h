// The plain text of the update list: one line per file,
// "Location?Size*Modified" and CR LF.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/civil_time.h"
#include "platform/status.h"

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

// Splits a line at its first "?" and first "*". Fails, of kind kInvalid and
// saying why, for a line without "?" or "*", with "*" before "?", or with a
// Location shorter than three characters.
Result<UpdateListEntry> SplitUpdateListLine(std::string_view line);

// Size as a 32-bit signed count: decimal digits only.
std::optional<std::int32_t> ParseListSize(std::string_view size);

// Every line split and its Size and Modified converted; stops at the first
// malformed line and fails, of kind kInvalid, with "line N: why" (N counts
// the text's CR LF lines from 1). A list that fails gives no entries, so that
// nothing acts on part of it by mistake.
Result<std::vector<UpdateListEntry>> ReadUpdateList(std::string_view text);

// The entries ReadUpdateList reads before the first malformed line (all of
// them when there is none): what the maintainer's tools still show, or sign,
// of a list that fails.
std::vector<UpdateListEntry> WellFormedUpdateListPrefix(std::string_view text);

// The entries' locations, in list order (what a release manifest names).
std::vector<std::string> LocationsOf(const std::vector<UpdateListEntry>& entries);

// One line as the generator writes it, CR LF included.
std::string FormatUpdateListLine(const UpdateListEntry& entry);

}  // namespace vmrk
