#include "updatelist/location.h"

#include "platform/files.h"

namespace vmrk {
namespace {

// Byte offset of the n-th character (0-based) of UTF-8 text, or npos.
size_t OffsetOfCharacter(std::string_view text, size_t n) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (count++ == n) return i;
  }
  return std::string_view::npos;
}

}  // namespace

size_t RootPrefixBytes(std::string_view location) {
  size_t fourth = OffsetOfCharacter(location, 3);
  return fourth == std::string_view::npos ? location.size() : fourth;
}

std::string NativeSeparators(std::string_view location) {
  std::string native(location);
  const char separator = platform::PathSeparator();
  for (char& c : native)
    if (c == '\\') c = separator;
  return native;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && EqualsIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  if (part.empty()) return true;
  for (size_t i = 0; i + part.size() <= text.size(); ++i)
    if (EqualsIgnoringCase(text.substr(i, part.size()), part)) return true;
  return false;
}

LocationParts PlanLocation(std::string_view location, const std::string& applicationPath,
                           const std::string& windowsFolder) {
  LocationParts parts;
  parts.location = std::string(location);
  const size_t fourth = RootPrefixBytes(location);
  parts.rootPrefix = std::string(location.substr(0, fourth));
  parts.rest = std::string(location.substr(fourth));
  size_t lastBackslash = location.rfind('\\');
  if (lastBackslash == std::string_view::npos) {
    parts.fileName = std::string(location);
  } else {
    parts.fileName = std::string(location.substr(lastBackslash + 1));
    parts.folderPart = std::string(location.substr(0, lastBackslash + 1));
  }
  parts.underApplication = parts.rootPrefix == "app";
  parts.target = (parts.underApplication ? applicationPath : windowsFolder) + NativeSeparators(parts.rest);
  parts.registers = parts.rootPrefix == "win" &&
                    (EndsWithIgnoringCase(location, ".dll") || EndsWithIgnoringCase(location, ".ocx"));
  return parts;
}

Status CheckLocationIsSafe(std::string_view location) {
  const size_t fourth = RootPrefixBytes(location);
  if (fourth >= location.size() || location[fourth] != '\\')
    return Status::Error("the location does not begin with a three-character root and a backslash");
  for (unsigned char c : location) {
    if (c < 0x20 || c == 0x7F) return Status::Error("the location holds a control character");
    if (c == ':') return Status::Error("the location holds a colon");
    if (c == '/') return Status::Error("the location holds a slash");
  }
  std::string_view root = location.substr(0, fourth);
  if (root.find('\\') != std::string_view::npos) return Status::Error("the location's root holds a backslash");
  std::string_view rest = location.substr(fourth + 1);
  for (;;) {
    size_t end = rest.find('\\');
    std::string_view component = rest.substr(0, end);
    if (component.empty()) return Status::Error("the location has an empty component");
    if (component == "." || component == "..") return Status::Error("the location climbs out of its folder");
    if (component.back() == '.' || component.back() == ' ') return Status::Error("a component of the location ends in a dot or space");
    if (end == std::string_view::npos) return Status::Ok();
    rest.remove_prefix(end + 1);
  }
}


}  // namespace vmrk
