// The pieces of the line-per-record formats beside the list (the manifest,
// the object index): one spelling per number, space-separated fields.
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vmrk {

// Unsigned decimal without sign or leading zeros ("0" itself is fine).
inline bool ParseRecordNumber(std::string_view text, std::uint64_t* value) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

// Splits "a b rest of line" into its first n-1 words and the rest.
inline bool SplitRecord(std::string_view line, size_t n, std::vector<std::string_view>* out) {
  out->clear();
  for (size_t i = 0; i + 1 < n; ++i) {
    size_t space = line.find(' ');
    if (space == std::string_view::npos) return false;
    out->push_back(line.substr(0, space));
    line.remove_prefix(space + 1);
  }
  out->push_back(line);
  return true;
}

}  // namespace vmrk
