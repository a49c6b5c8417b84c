// Frames come from a server trusted for nothing: any bytes, with or without
// a base, decode to at most the bound or are refused, and leave nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "updatelist/zstd_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the bound and whether a base is given.
  const std::uint64_t bound = static_cast<std::uint64_t>(data[0] & 0x7f) << 12;
  const std::string base = (data[0] & 0x80) != 0 ? std::string(4096, 'b') : std::string();
  const std::string_view frame(reinterpret_cast<const char*>(data) + 1, size - 1);
  const vmrk::Result<std::string> decoded = vmrk::DecodeFrame(frame, base, bound);
  if (decoded.ok() ? decoded->size() > bound : decoded.status().message().empty()) __builtin_trap();
  return 0;
}
