// What an interrupted run leaves below the application folder: copies being
// put in place (".NAME.vmrk-PID-N"), files renamed aside because they were
// in use (".NAME.old-PID-N"), atomic writes (".NAME.new-PID-N") and partial
// transfers (".NAME.part-PID-N", or "NAME.part-PID-N" from the Windows
// downloader). Only those exact shapes are ever removed.
#pragma once

#include <string>
#include <string_view>

namespace vmrk {

bool IsUpdaterLeftover(std::string_view name);

// Removes every leftover file below folder (subfolders included, links to
// folders not followed past a fixed depth). One that cannot be removed (still
// in use) stays for the next start. Returns how many were removed.
size_t SweepLeftovers(const std::string& folder);

}  // namespace vmrk
