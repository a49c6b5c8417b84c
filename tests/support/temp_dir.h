// A fresh folder under the system's temporary folder, removed with its
// contents when the test ends.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vmrk::test {

// A folder whose files live in memory (/dev/shm where there is one, else the
// usual temporary folder), for tests that make thousands of trees or flush
// often: their flushes cost nothing there and slow no test beside them. Only
// for what a flush does not decide: a killed process, a simulated disk.
std::filesystem::path MemoryBackedBase();

class TempDir {
 public:
  // Below base, or the system's temporary folder when it is empty.
  explicit TempDir(const std::filesystem::path& base = {});
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string Sub(std::string_view relative) const { return path_ + "/" + std::string(relative); }
  // The same in the host's own separators, as the updater spells paths.
  std::string Native() const;
  std::string NativeSub(std::string_view relative) const;
  // Writes bytes at a relative path, creating its folders.
  std::string Write(std::string_view relative, std::string_view bytes) const;
  std::string Read(std::string_view relative) const;

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);

// UTF-8 text to a path and back, the same on every platform.
std::filesystem::path PathOf(std::string_view utf8);
std::string Utf8Of(const std::filesystem::path& path);

}  // namespace vmrk::test
