#include "tests/support/temp_dir.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace vmrk::test {

// Paths in the tests are UTF-8 text; std::filesystem would read a plain
// std::string in the ANSI code page on Windows.
std::filesystem::path PathOf(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
  std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

std::filesystem::path MemoryBackedBase() {
  std::error_code error;
  return std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm") : std::filesystem::path();
}

TempDir::TempDir(const std::filesystem::path& base) {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate =
        (base.empty() ? std::filesystem::temp_directory_path() : base) /
        ("vmrk-test-" + std::to_string(random() % 100000000000ull));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = Utf8Of(candidate);
      for (char& c : path_)
        if (c == '\\') c = '/';  // one spelling in tests on every platform
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests make folders read-only on purpose; give them back first.
  for (auto it = std::filesystem::recursive_directory_iterator(PathOf(path_), ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
  std::filesystem::remove_all(PathOf(path_), ignored);
}

std::string TempDir::Write(std::string_view relative, std::string_view bytes) const {
  std::filesystem::path full = PathOf(path_) / PathOf(relative);
  std::filesystem::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + Utf8Of(full));
  return path_ + "/" + std::string(relative);
}

std::string TempDir::Native() const { return Utf8Of(PathOf(path_).make_preferred()); }

std::string TempDir::NativeSub(std::string_view relative) const { return Utf8Of(PathOf(Sub(relative)).make_preferred()); }

std::string TempDir::Read(std::string_view relative) const { return ReadFileBytes(Sub(relative)); }

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(PathOf(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace vmrk::test
