#include "platform/file_identity.h"
#include "platform/file_system.h"
#include "platform/files.h"

namespace vmrk::platform {
namespace {

class Host final : public FileSystem {
 public:
  bool Exists(const std::string& path) override { return PathExists(path); }
  bool IsFolder(const std::string& path) override { return platform::IsFolder(path); }
  Status ReadWholeFile(const std::string& path, std::string* bytes) override {
    return platform::ReadWholeFile(path, bytes);
  }
  Status CreateFolder(const std::string& path) override { return platform::CreateFolder(path); }
  Status RemoveFile(const std::string& path) override { return platform::RemoveFile(path); }
  Status RemoveEmptyFolder(const std::string& path) override { return platform::RemoveEmptyFolder(path); }
  Status PlaceFile(const std::string& source, const std::string& placed, const std::string& permissionsOf) override {
    return platform::PlaceFile(source, placed, permissionsOf);
  }
  Status RenameNoReplace(const std::string& from, const std::string& to) override {
    return platform::RenameNoReplace(from, to);
  }
  Status RenameReplacing(const std::string& from, const std::string& to) override {
    return platform::RenameReplacing(from, to);
  }
  Status WriteNewFile(const std::string& path, std::string_view bytes) override {
    return platform::WriteNewFile(path, bytes);
  }
  Status AppendDurably(const std::string& path, std::string_view bytes) override {
    return platform::AppendDurably(path, bytes);
  }
  Status FlushFolder(const std::string& folder) override { return platform::FlushFolder(folder); }
  Status FlushVolumes(const std::vector<std::string>& paths) override { return FlushToDisk(paths); }
};

}  // namespace

FileSystem& HostFileSystem() {
  static Host host;
  return host;
}

}  // namespace vmrk::platform
