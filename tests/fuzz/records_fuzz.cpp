// The journal and the previous release's record are read back from whatever
// a crash, a power cut or a user left: any bytes must parse without harm,
// and a record written from what was read must read back the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "install/transaction_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vmrk::Result<vmrk::JournalText> journal = vmrk::ParseJournal(text);
  if (journal.ok() ? journal->records.size() > size : journal.status().message().empty()) __builtin_trap();
  const vmrk::Result<vmrk::PreviousRelease> previous = vmrk::ParsePreviousRelease(text);
  if (!previous.ok()) {
    if (previous.status().message().empty()) __builtin_trap();
    return 0;
  }
  const vmrk::Result<vmrk::PreviousRelease> again = vmrk::ParsePreviousRelease(vmrk::PreviousReleaseText(*previous));
  if (!again.ok() || again->added != previous->added || again->made != previous->made ||
      again->dropped != previous->dropped || again->replaced.size() != previous->replaced.size())
    __builtin_trap();
  for (std::size_t i = 0; i < again->replaced.size(); ++i)
    if (again->replaced[i].target != previous->replaced[i].target ||
        again->replaced[i].backup != previous->replaced[i].backup)
      __builtin_trap();
  return 0;
}
