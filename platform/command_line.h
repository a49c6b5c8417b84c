// A Windows command line from a program and its arguments, quoted by the
// rules the C runtime splits them by (portable text work, no OS call).
#pragma once

#include <string>
#include <vector>

namespace vmrk::platform {

std::string QuoteArgument(const std::string& argument);
std::string WindowsCommandLine(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace vmrk::platform
