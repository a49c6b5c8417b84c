// Files of any length, never held whole in memory: a file seen through a
// read-only mapping, a new file written through a writable one, and a new
// file written front to back. Behind these declarations sit mmap and write
// (large_files_posix.cpp) or file mappings and WriteFile (large_files_win.cpp).
//
// A mapping takes address space for the file's whole length, which a 32-bit
// process has 2 GiB of: callers map only what the release's limits allow.
// Trap: a mapped file that another process shortens meanwhile faults the
// process when the missing pages are touched (SIGBUS, or an in-page error).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk::platform {

class MappedFile {
 public:
  // The whole of an existing file, read-only. An empty file is an empty
  // view; a file longer than the address space can hold is a failure.
  static Result<MappedFile> Open(const std::string& path);
  MappedFile(MappedFile&&) noexcept;
  MappedFile& operator=(MappedFile&&) noexcept;
  ~MappedFile();
  std::string_view bytes() const;

 private:
  struct State;
  explicit MappedFile(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

class MappedOutput {
 public:
  // A new file of exactly `length` bytes (fails, leaving nothing, when path
  // exists or the volume has not the room: its blocks are taken here, so
  // that a full disk is a failure now and never a fault while writing).
  static Result<MappedOutput> Create(const std::string& path, std::uint64_t length);
  MappedOutput(MappedOutput&&) noexcept;
  MappedOutput& operator=(MappedOutput&&) noexcept;
  // Unmaps; the file keeps what was written.
  ~MappedOutput();
  char* data();
  std::uint64_t length() const;
  // The bytes before `upTo` are written: their pages leave this process's
  // memory, those read in again since the last call too (the system writes
  // them to the file in its own time, and reads them back if they are
  // touched again). Only a hint; never fails.
  void Release(std::uint64_t upTo);

 private:
  struct State;
  explicit MappedOutput(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

class OutputFile {
 public:
  // A new file, empty (fails when path exists).
  static Result<OutputFile> Create(const std::string& path);
  OutputFile(OutputFile&&) noexcept;
  OutputFile& operator=(OutputFile&&) noexcept;
  // Closes without reporting: call Close to know.
  ~OutputFile();
  Status Write(std::string_view bytes);
  Status Close();

 private:
  struct State;
  explicit OutputFile(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vmrk::platform
