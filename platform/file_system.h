// The one road from the release transaction to the disk: its journal, its
// renames, the previous release's record and every flush that orders them.
//
// It is an interface so that the tests can put a file system of their own
// between the transaction and the disk (tests/support/simulated_disk.h): one
// that refuses the Nth call, stops the process at it, or cuts the power there
// and keeps only what had been made durable. The transaction states its
// ordering needs as calls of this interface and nothing else: a step whose
// order matters after a power cut is preceded by the flush that it needs.
//
// Durability contract (POSIX's, which every implementation keeps):
// - a file's bytes are on disk after WriteNewFile, AppendDurably, or a
//   FlushVolumes that covers it;
// - a change of names (made, renamed, removed, folders made or removed) is on
//   disk after FlushFolder of the folder it is in, or a FlushVolumes of its
//   volume. Until then a power cut may keep any of the changes made since,
//   in any combination, whatever order they were made in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace vmrk::platform {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual bool Exists(const std::string& path) = 0;
  virtual bool IsFolder(const std::string& path) = 0;
  virtual Status ReadWholeFile(const std::string& path, std::string* bytes) = 0;

  virtual Status CreateFolder(const std::string& path) = 0;
  virtual Status RemoveFile(const std::string& path) = 0;
  virtual Status RemoveEmptyFolder(const std::string& path) = 0;
  // As platform::PlaceFile: renamed on one volume, copied to another.
  virtual Status PlaceFile(const std::string& source, const std::string& placed, const std::string& permissionsOf) = 0;
  // Fails, changing nothing, when `to` exists.
  virtual Status RenameNoReplace(const std::string& from, const std::string& to) = 0;
  virtual Status RenameReplacing(const std::string& from, const std::string& to) = 0;
  // Fails when path exists; the bytes are durable on return, the name is not.
  virtual Status WriteNewFile(const std::string& path, std::string_view bytes) = 0;
  virtual Status AppendDurably(const std::string& path, std::string_view bytes) = 0;

  virtual Status FlushFolder(const std::string& folder) = 0;
  // Everything on the volumes that hold these paths (on Windows, which has
  // no such call for a user: the bytes of the files named, every move being
  // written through as it is made).
  virtual Status FlushVolumes(const std::vector<std::string>& paths) = 0;
};

// The host's own file system (platform/files.h).
FileSystem& HostFileSystem();

}  // namespace vmrk::platform
