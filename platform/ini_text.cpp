#include "platform/ini_text.h"

#include <vector>

namespace vmrk::platform {
namespace {

struct Line {
  std::string_view text;  // without its line end
  std::string_view end;   // "\n", "\r\n" or "" for the last line
};

std::vector<Line> SplitLines(std::string_view document) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < document.size()) {
    size_t nl = document.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back({document.substr(start), {}});
      break;
    }
    size_t textEnd = (nl > start && document[nl - 1] == '\r') ? nl - 1 : nl;
    lines.push_back({document.substr(start, textEnd - start), document.substr(textEnd, nl + 1 - textEnd)});
    start = nl + 1;
  }
  return lines;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Name of the section a "[name]" line opens, if it is one.
std::optional<std::string_view> SectionHeader(std::string_view line) {
  std::string_view t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

struct KeyValue {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyValue> ParseKeyValue(std::string_view line) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '#') return std::nullopt;
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyValue{Trim(line.substr(0, eq)), line.substr(eq + 1)};
}

std::string_view line_end_or(std::string_view end, std::string_view fallback) {
  return end.empty() ? fallback : end;
}

}  // namespace

std::optional<std::string> IniLookup(std::string_view document, std::string_view section,
                                     std::string_view key) {
  bool inSection = false;
  for (const Line& line : SplitLines(document)) {
    if (auto header = SectionHeader(line.text)) {
      inSection = SameName(*header, section);
      continue;
    }
    if (!inSection) continue;
    if (auto kv = ParseKeyValue(line.text); kv && SameName(kv->key, key)) return std::string(kv->value);
  }
  return std::nullopt;
}

std::string IniAssign(std::string_view document, std::string_view section, std::string_view key,
                      std::string_view value) {
  std::vector<Line> lines = SplitLines(document);
  std::string newline = "\n";
  for (const Line& line : lines)
    if (!line.end.empty()) {
      newline = std::string(line.end);
      break;
    }
  const std::string assignment = std::string(key) + "=" + std::string(value);

  // Where the key stands now, or the last non-blank line of its section.
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t keyLine = kNone, sectionEnd = kNone;
  bool inSection = false;
  for (size_t i = 0; i < lines.size() && keyLine == kNone; ++i) {
    if (auto header = SectionHeader(lines[i].text)) {
      inSection = SameName(*header, section);
      if (inSection && sectionEnd == kNone) sectionEnd = i;
      continue;
    }
    if (!inSection) continue;
    if (auto kv = ParseKeyValue(lines[i].text); kv && SameName(kv->key, key)) keyLine = i;
    else if (!Trim(lines[i].text).empty() && sectionEnd != kNone && sectionEnd + 1 == i) sectionEnd = i;
  }

  std::string out;
  out.reserve(document.size() + assignment.size() + section.size() + 8);
  for (size_t i = 0; i < lines.size(); ++i) {
    out += i == keyLine ? std::string_view(assignment) : lines[i].text;
    if (keyLine == kNone && i == sectionEnd) {
      out += line_end_or(lines[i].end, newline);
      out += assignment;
    }
    out += lines[i].end;
  }
  if (keyLine == kNone && sectionEnd == kNone) {
    if (!out.empty() && out.back() != '\n') out += newline;
    out += "[" + std::string(section) + "]" + newline + assignment + newline;
  } else if (keyLine == kNone && lines[sectionEnd].end.empty()) {
    out += newline;
  }
  return out;
}

}  // namespace vmrk::platform
