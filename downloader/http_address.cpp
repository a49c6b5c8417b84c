#include "downloader/http_address.h"

#include <cctype>

namespace vmrk {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool IsHostNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// Kept as they are in a path: RFC 3986 unreserved, sub-delims, ":" "@" "/".
bool KeptInPath(unsigned char c) {
  if (std::isalnum(c)) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case '!': case '$': case '&': case '\'': case '(':
    case ')': case '*': case '+': case ',': case ';': case '=': case ':': case '@': case '/':
      return true;
    default:
      return false;
  }
}

std::optional<std::uint16_t> ParsePort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::string HttpAddress::Url() const {
  std::string url = (secure ? "https://" : "http://") + host;
  if (port != (secure ? 443 : 80)) url += ":" + std::to_string(port);
  return url + target;
}

std::optional<HttpAddress> ParseHttpAddress(std::string_view address) {
  HttpAddress result;
  std::string_view rest;
  if (StartsWithNoCase(address, "https:")) {
    result.secure = true;
    result.port = 443;
    rest = address.substr(6);
  } else if (StartsWithNoCase(address, "http:")) {
    rest = address.substr(5);
  } else {
    return std::nullopt;
  }
  // "http:\\host\..." is what a backslash-minded caller may write.
  size_t slashes = 0;
  while (slashes < rest.size() && (rest[slashes] == '/' || rest[slashes] == '\\')) ++slashes;
  if (slashes != 2) return std::nullopt;
  rest.remove_prefix(2);

  size_t authorityEnd = rest.find_first_of("/\\?#");
  std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view path = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;  // no credentials in addresses

  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
    std::string_view inner = host.substr(1, host.size() - 2);
    if (inner.empty()) return std::nullopt;
    for (char c : inner)
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return std::nullopt;
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      if (port.empty()) return std::nullopt;
    }
  } else {
    size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      if (port.empty()) return std::nullopt;
    }
    if (host.empty() || host.front() == '.' || host.front() == '-') return std::nullopt;
    for (char c : host)
      if (!IsHostNameChar(c)) return std::nullopt;
  }
  if (!port.empty()) {
    auto parsed = ParsePort(port);
    if (!parsed) return std::nullopt;
    result.port = *parsed;
  }
  for (char c : host) result.host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  static const char kHex[] = "0123456789ABCDEF";
  result.target.reserve(path.size() + 1);
  for (unsigned char c : path) {
    if (c == '\\') c = '/';
    if (KeptInPath(c)) {
      result.target += static_cast<char>(c);
    } else {
      result.target += '%';
      result.target += kHex[c >> 4];
      result.target += kHex[c & 15];
    }
  }
  if (result.target.empty() || result.target.front() != '/') result.target.insert(0, "/");
  return result;
}

std::string SaveNameFromAddress(std::string_view address) {
  size_t cut = address.find_last_of("/\\");
  std::string name(cut == std::string_view::npos ? address : address.substr(cut + 1));
  if (name.empty() || name == "." || name == "..") return {};
  return name;
}

}  // namespace vmrk
