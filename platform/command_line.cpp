#include "platform/command_line.h"

namespace vmrk::platform {

std::string QuoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  // Backslashes before a quote are doubled and the quote escaped; others stay.
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string WindowsCommandLine(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = QuoteArgument(program);
  for (const std::string& argument : arguments) line += " " + QuoteArgument(argument);
  return line;
}

}  // namespace vmrk::platform
