// vmrkxupdate-listgen root: the maintainer's side of the root of trust.
// Each signature is added by a run of its own, so that the keys of a
// threshold can stay on machines of their own.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vmrk {

// args: "init" | "next" | "sign" | "show" and its own arguments. usage
// prints a usage error and gives the exit status for it.
int RootCommand(const std::vector<std::string>& args, const std::function<int(const std::string&)>& usage);

}  // namespace vmrk
