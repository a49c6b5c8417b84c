// The journal and the previous release's record are read back from whatever
// a crash, a power cut or a user left: any bytes must parse without harm,
// and a record written from what was read must read back the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "install/transaction_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vmrk::JournalText journal;
  if (vmrk::ParseJournal(text, &journal) && journal.records.size() > size) __builtin_trap();
  vmrk::PreviousRelease previous, again;
  vmrk::ParsePreviousRelease(text, &previous);
  vmrk::ParsePreviousRelease(vmrk::PreviousReleaseText(previous), &again);
  if (again.added != previous.added || again.made != previous.made || again.dropped != previous.dropped ||
      again.replaced.size() != previous.replaced.size())
    __builtin_trap();
  for (std::size_t i = 0; i < again.replaced.size(); ++i)
    if (again.replaced[i].target != previous.replaced[i].target || again.replaced[i].backup != previous.replaced[i].backup)
      __builtin_trap();
  return 0;
}
