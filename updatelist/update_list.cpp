#include "updatelist/update_list.h"

#include "updatelist/list_date.h"

namespace vmrk {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

// Lines are measured in characters, not bytes: "皮肤" is two.
size_t CharacterCount(std::string_view text) {
  size_t count = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  size_t position = 0;
  size_t number = 0;
  for (;;) {
    size_t end = text.find(kLineEnd, position);
    if (end == std::string_view::npos || end == 0) return;
    ++number;
    std::string_view line = text.substr(position, end - position);
    if (CharacterCount(line) > 3 && !visit(line, number)) return;
    position = end + kLineEnd.size();
  }
}

// The well-formed lines up to the first malformed one, and why that one is.
struct ListReading {
  std::vector<UpdateListEntry> entries;
  Status fault;
};

ListReading ReadUntilFault(std::string_view text) {
  ListReading reading;
  ForEachLine(text, [&](std::string_view line, size_t number) {
    Result<UpdateListEntry> entry = SplitUpdateListLine(line);
    std::string why;
    if (!entry.ok()) why = entry.status().message();
    else if (!ParseListSize(entry->Size)) why = "size \"" + entry->Size + "\" is not a count of bytes";
    else if (!ParseListDate(entry->Modified)) why = "date \"" + entry->Modified + "\" is not a date";
    if (why.empty()) {
      reading.entries.push_back(std::move(entry).value());
      return true;
    }
    reading.fault = Status::Error(Status::Kind::kInvalid, "line " + std::to_string(number) + ": " + why);
    return false;
  });
  return reading;
}

}  // namespace

std::vector<std::string_view> UpdateListLines(std::string_view text) {
  std::vector<std::string_view> lines;
  ForEachLine(text, [&](std::string_view line, size_t) {
    lines.push_back(line);
    return true;
  });
  return lines;
}

Result<UpdateListEntry> SplitUpdateListLine(std::string_view line) {
  auto malformed = [](const char* why) { return Status::Error(Status::Kind::kInvalid, why); };
  size_t q = line.find('?');
  size_t s = line.find('*');
  if (q == std::string_view::npos || s == std::string_view::npos) return malformed("no \"?\" or no \"*\"");
  if (s < q) return malformed("\"*\" before \"?\"");
  if (CharacterCount(line.substr(0, q)) < 3) return malformed("location shorter than three characters");
  return UpdateListEntry{std::string(line.substr(0, q)), std::string(line.substr(q + 1, s - q - 1)),
                         std::string(line.substr(s + 1))};
}

std::optional<std::int32_t> ParseListSize(std::string_view size) {
  if (size.empty() || size.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (char c : size) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > 2147483647) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

Result<std::vector<UpdateListEntry>> ReadUpdateList(std::string_view text) {
  ListReading reading = ReadUntilFault(text);
  if (!reading.fault.ok()) return reading.fault;
  return std::move(reading.entries);
}

std::vector<UpdateListEntry> WellFormedUpdateListPrefix(std::string_view text) {
  return ReadUntilFault(text).entries;
}

std::vector<std::string> LocationsOf(const std::vector<UpdateListEntry>& entries) {
  std::vector<std::string> locations;
  locations.reserve(entries.size());
  for (const UpdateListEntry& entry : entries) locations.push_back(entry.Location);
  return locations;
}

std::string FormatUpdateListLine(const UpdateListEntry& entry) {
  std::string line;
  line.reserve(entry.Location.size() + entry.Size.size() + entry.Modified.size() + 4);
  line += entry.Location;
  line += '?';
  line += entry.Size;
  line += '*';
  line += entry.Modified;
  line += kLineEnd;
  return line;
}

}  // namespace vmrk
