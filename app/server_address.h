// The server address inside the address file's text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vmrk {

// The up to 15 characters after the first "seip:" (case-sensitive), cut at the
// first line break or tab among them, spaces trimmed at both ends. Without the
// marker the field starts at the 5th character of the text.
std::string ServerAddressFromText(std::string_view text);

// ServerBase: an address after the marker that begins with "https://" is the
// base as it stands (to the end of its line, no 15-character field, a "/"
// added when missing); anything else is "http://" + ServerAddressFromText + "/".
std::string ServerBaseFromText(std::string_view text);
// Every server the file names, in order: ServerBaseFromText's first, then
// one for each further line that begins with the marker (read as
// ServerBaseFromText reads the text from there), each once.
std::vector<std::string> ServerBasesFromText(std::string_view text);

// The channel a line "channel:NAME" names (the first such line, blanks
// around NAME dropped), as it stands: the caller judges the name. "" when
// there is none. Updaters of earlier releases read no such line.
std::string ChannelFromText(std::string_view text);

}  // namespace vmrk
