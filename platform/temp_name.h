// The names of the files the updater makes beside others for a while: a copy
// being put in place, a file moved aside because it was in use, an atomic
// write, a partial transfer. All are ".NAME.TAG-PID-N": hidden, tied to the
// run that made them, unique within it, and N random, so that no later run
// whose process id happens to be the same picks the name again. They are made and recognised
// here only, so that the start-up sweep removes every kind and nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vmrk::platform {

enum class TempKind {
  kPlacing,      // a copy on its way to its target ("vmrk")
  kAside,        // an installed file renamed away while in use ("old")
  kAtomicWrite,  // WriteFileAtomically's new content ("new")
  kPartial,      // a transfer's bytes before the file is complete ("part")
  kBackup,       // an installed file kept as the previous release ("prev")
};

// ".NAME.TAG-PID-N" for the file name `name` (no folder).
std::string TempNameFor(std::string_view name, TempKind kind, std::uint64_t pid, std::uint64_t n);

// TempNameFor(name, kind, this process, a random number not used before in it).
std::string NextTempName(std::string_view name, TempKind kind);

// The same beside `path`: its folder, separator, and NextTempName of its
// file name.
std::string NextTempPathBeside(const std::string& path, TempKind kind);

// True for a name TempNameFor makes (a backup too: the sweep keeps those the
// previous release still names), and for "NAME.part-PID-N", the partial
// transfer of Windows updaters before this one. Nothing a user would name a
// file by chance: the tag, two numbers and the leading dot must all be there.
bool IsUpdaterTempName(std::string_view name);

// The identifier of the running process.
std::uint64_t CurrentProcessId();

}  // namespace vmrk::platform
