// File services of the host system. Paths are UTF-8 text in the host's own
// spelling; the implementation behind these declarations is chosen by the
// build (files_posix.cpp or files_win.cpp), so the core stays free of OS
// headers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace vmrk::platform {

// The separator that the host joins path components with ("/" or "\").
char PathSeparator();

// Folder of the running executable, without a trailing separator.
std::string ApplicationPath();
// Full path of the running executable.
std::string ExecutablePath();

// File names of the updater's own program, its side file and the player on
// this platform ("vmrkxupdate.exe", "vmrkxupdate.exe.new", "vmrPlayer.exe"
// on Windows; without ".exe" elsewhere).
std::string UpdaterProgramName();
std::string SideFileName();
std::string PlayerProgramName();

// The folder that "win" locations install below, without a trailing
// separator. On Windows the system's own; elsewhere the folder that WINDIR
// names, else the application folder's subfolder "windows".
std::string WindowsFolder();

// True when anything (file, folder, other entry) exists at path.
bool PathExists(const std::string& path);

// True for an ordinary visible file: folders and hidden or system entries do
// not count. Any error counts as "no".
bool IsVisibleFile(const std::string& path);

// True for a visible file or folder (hidden and system entries do not count).
bool IsVisibleEntry(const std::string& path);

struct FolderEntry {
  std::string name;
  bool isFolder = false;
  bool isFile = false;    // an ordinary file
  bool hidden = false;    // hidden or system
  std::uint64_t length = 0;
  std::int64_t modifiedUnixSeconds = 0;
  bool factsKnown = false;  // length and time could be read
};

// The entries directly inside folder, in no particular order, or why they
// cannot be listed (no such folder, not allowed).
Result<std::vector<FolderEntry>> ListFolder(const std::string& folder);

// The maintainer's release folder, with its trailing separator: "e:\vmrsoft\"
// on Windows, the folder vmrsoft in the user's home folder elsewhere.
std::string ReleaseRoot();

// Where the maintainer keeps the release signing key, outside any release
// folder: the user's own settings folder + "vmrkxupdate/maintainer.key"
// ($XDG_CONFIG_HOME or ~/.config; %APPDATA% on Windows).
std::string MaintainerKeyPath();

// True when the standard error stream is a terminal (for progress lines).
bool StandardErrorIsTerminal();

Status CreateFolder(const std::string& path);
Status RemoveFile(const std::string& path);

// Deletes every non-folder entry directly inside folder; subfolders and their
// contents are left alone. Goes on past entries it cannot delete and reports
// the first failure.
Status RemoveFilesIn(const std::string& folder);

Status ReadWholeFile(const std::string& path, std::string* bytes);

// Hands the file's bytes to visit piece by piece, so that a large file is
// hashed without being held in memory.
Status ReadFileInPieces(const std::string& path, const std::function<void(std::string_view)>& visit);

// The buffer a read of a file of this size takes: one more byte than the file
// (so that the read which finds its end is the second), at least a page, at
// most 1 MiB. A release is mostly small files, and each one hashed used to
// take (and clear) a whole MiB.
constexpr size_t ReadPieceSize(std::int64_t fileSize) {
  constexpr std::int64_t kLeast = 4096, kMost = 1 << 20;
  return static_cast<size_t>(fileSize < kLeast ? kLeast : fileSize >= kMost ? kMost : fileSize + 1);
}

// Creates a new file that only its owner can read (a private key): fails,
// and changes nothing, when path exists already.
Status CreateOwnerOnlyFile(const std::string& path, std::string_view bytes);

// Puts source at placed (which must not exist yet) with its bytes and
// modification time and the permission bits of permissionsOf where that
// exists: renamed where both are on one volume (source is gone then), else
// copied. Not flushed: see FlushToDisk. On failure nothing is left at placed.
Status PlaceFile(const std::string& source, const std::string& placed, const std::string& permissionsOf);

// A new file at copy (which must not exist yet) with source's bytes and
// modification time and the permission bits of permissionsOf where that
// exists. On failure nothing is left at copy.
Status CopyToNew(const std::string& source, const std::string& copy, const std::string& permissionsOf);

// Another name for source's file at copy (which must not exist yet) where
// the volume allows, else a copy as CopyToNew makes it. A linked name shares
// the file itself: setting the time of either sets both's, which suits only
// a file whose bytes are already what they must become.
Status LinkOrCopy(const std::string& source, const std::string& copy);

// Has everything written to the files named, and the renames of them, on
// disk before returning (one flush of each volume where the system can).
Status FlushToDisk(const std::vector<std::string>& files);

// Adds bytes at the end of path (created when missing) and has them on disk
// before returning: what a journal needs. A file it creates has its name on
// disk only after FlushFolder of its folder.
Status AppendDurably(const std::string& path, std::string_view bytes);

// A new file at path with bytes, on disk before returning; fails, and leaves
// nothing, when path exists. Its name is on disk only after FlushFolder.
Status WriteNewFile(const std::string& path, std::string_view bytes);

// Has the names in folder (entries made, renamed or removed there) on disk.
// On Windows NTFS keeps such changes in order in its own log, and a folder
// that cannot be flushed there is no failure.
Status FlushFolder(const std::string& folder);

// Removes a folder that is empty; fails for anything else.
Status RemoveEmptyFolder(const std::string& path);

// The bytes the user may still write on the volume that holds path, and a
// name of that volume that is equal for two paths on the same one. A
// failure, as for a path that does not exist yet, says nothing about the
// room there.
Result<std::uint64_t> FreeSpace(const std::string& path);
Result<std::string> VolumeOf(const std::string& path);

// Starts a program with its arguments and does not wait for it. The program
// runs on after the updater has ended.
Status StartDetached(const std::string& program, const std::vector<std::string>& arguments);

// Adds bytes at the end of path, creating it when missing.
Status AppendToFile(const std::string& path, std::string_view bytes);

// Renames from to to in one step, replacing a file of that name.
Status RenameReplacing(const std::string& from, const std::string& to);

// Renames from to to in one step; fails, changing nothing, when to exists.
Status RenameNoReplace(const std::string& from, const std::string& to);

// Writes bytes to a temporary file beside path and renames it over path, so a
// reader sees either the old or the new content, never a torn one.
Status WriteFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace vmrk::platform
