// The staging folder below the application folder: every file transfer saves
// there, and the installation takes each file from there. Its names are made
// and recognised here only, so that the start-up cleanup removes every kind
// the run makes and nothing else.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vmrk {

inline constexpr char kStagingFolderName[] = "update";

// The folder of the transfer numbered `number` (row k is number k, 1-based;
// the delta packages follow the rows): digits only.
std::string TransferFolderName(size_t number);
// True for a name TransferFolderName makes.
bool IsTransferFolderName(std::string_view name);
// A row staged as another name of its installed file: "<row>-<name>", a file
// directly in the staging folder (row 1-based).
std::string LinkedStagedName(size_t row, std::string_view fileName);

}  // namespace vmrk
