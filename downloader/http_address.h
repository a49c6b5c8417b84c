// Turns the address text the window builds ("http://" + server + "/" +
// "vmrkxupdate/" + a location that keeps its backslashes) into what goes on
// the wire, and names the file a transfer saves to. Shared by every
// downloader implementation so that they agree byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vmrk {

struct HttpAddress {
  bool secure = false;     // https: TLS with the system's certificate checks
  std::string host;        // name, dotted address, or "[v6]" with its brackets
  std::uint16_t port = 80;
  std::string target;      // absolute path, percent-encoded, begins with "/"

  std::string Url() const;  // "http[s]://host[:port]target"
};

// nullopt for an address that cannot be used (not http or https, an empty or invalid
// host, a bad port). Backslashes become "/", as browsers treat them in http
// addresses; spaces, characters beyond ASCII (as UTF-8) and the characters that
// would end or alter a path ("?", "#", "%" among them) are percent-encoded, so
// the location reaches the server as the file path it is.
std::optional<HttpAddress> ParseHttpAddress(std::string_view address);

// The part behind the last "/" or "\"; empty when that would not be a usable
// file name ("", "." or "..").
std::string SaveNameFromAddress(std::string_view address);

}  // namespace vmrk
