#include "install/staging.h"

namespace vmrk {

std::string TransferFolderName(size_t number) { return std::to_string(number); }

bool IsTransferFolderName(std::string_view name) {
  return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string LinkedStagedName(size_t row, std::string_view fileName) {
  return std::to_string(row) + "-" + std::string(fileName);
}

}  // namespace vmrk
