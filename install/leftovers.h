// What an interrupted run leaves below the application folder: the
// temporaries of platform/temp_name.h, every kind of them and nothing else.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vmrk {

bool IsUpdaterLeftover(std::string_view name);

// Removes every leftover file below folder (subfolders included, links to
// folders not followed past a fixed depth) but those named in keep (the
// previous release's copies). One that cannot be removed (still in use)
// stays for the next start. Returns how many were removed.
size_t SweepLeftovers(const std::string& folder, const std::vector<std::string>& keep = {});

}  // namespace vmrk
