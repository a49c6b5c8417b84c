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
  // Into a buffer of the bound, in two pieces split where the data says:
  // the same verdict, and never a byte written past the buffer.
  std::string whole(bound, '\0');
  vmrk::FrameDecoder decoder(base, bound, whole.data());
  const size_t split = frame.empty() ? 0 : data[size - 1] % frame.size();
  vmrk::Status fed = decoder.Feed(frame.substr(0, split));
  if (fed.ok()) fed = decoder.Feed(frame.substr(split));
  const vmrk::Result<std::uint64_t> ended = fed.ok() ? decoder.Finish() : vmrk::Result<std::uint64_t>(fed);
  if (ended.ok() != decoded.ok() || (ended.ok() && whole.substr(0, *ended) != *decoded)) __builtin_trap();
  return 0;
}
