#include "app/server_address.h"

#include <algorithm>

#include "app/texts.h"
#include "updatelist/utf8.h"

namespace vmrk {
namespace {

constexpr size_t kFieldLength = 15;

}  // namespace

std::string ServerAddressFromText(std::string_view text) {
  std::u32string chars = Utf8ToCodePoints(text);
  const std::u32string marker = Utf8ToCodePoints(texts::kAddressMarker);
  size_t found = chars.find(marker);
  // The 1-based position of an absent marker is 0, and 0 + 5 is the 5th
  // character: index 4.
  size_t start = found == std::u32string::npos ? 4 : found + marker.size();
  if (start >= chars.size()) return {};
  std::u32string field = chars.substr(start, kFieldLength);
  // A shorter address followed by a line break must not keep the break.
  size_t stop = field.find_first_of(U"\r\n\t");
  if (stop != std::u32string::npos) field.resize(stop);
  size_t first = field.find_first_not_of(U' ');
  if (first == std::u32string::npos) return {};
  size_t last = field.find_last_not_of(U' ');
  return CodePointsToUtf8(field.substr(first, last - first + 1));
}

std::string ServerBaseFromText(std::string_view text) {
  constexpr std::string_view kHttps = "https://";
  size_t marker = text.find(texts::kAddressMarker);
  if (marker != std::string_view::npos) {
    std::string_view rest = text.substr(marker + std::string_view(texts::kAddressMarker).size());
    size_t first = rest.find_first_not_of(' ');
    if (first != std::string_view::npos && rest.substr(first, kHttps.size()) == kHttps) {
      rest = rest.substr(first);
      rest = rest.substr(0, rest.find_first_of("\r\n\t"));
      while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
      std::string base(rest);
      if (base.back() != '/') base += '/';
      return base;
    }
  }
  return "http://" + ServerAddressFromText(text) + "/";
}

std::vector<std::string> ServerBasesFromText(std::string_view text) {
  std::vector<std::string> bases = {ServerBaseFromText(text)};
  const std::string_view marker = texts::kAddressMarker;
  // Lines after the first marker's.
  size_t line = text.find(marker);
  line = line == std::string_view::npos ? std::string_view::npos : text.find('\n', line);
  while (line != std::string_view::npos) {
    std::string_view rest = text.substr(line + 1);
    if (rest.starts_with(marker)) {
      std::string base = ServerBaseFromText(rest);
      if (base != "http:///" && std::find(bases.begin(), bases.end(), base) == bases.end()) bases.push_back(base);
    }
    line = text.find('\n', line + 1);
  }
  return bases;
}

std::string ChannelFromText(std::string_view text) {
  const std::string_view marker = texts::kChannelMarker;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.starts_with(marker)) continue;
    line.remove_prefix(marker.size());
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const size_t last = line.find_last_not_of(" \t\r");
    return std::string(line.substr(first, last - first + 1));
  }
  return {};
}

}  // namespace vmrk
