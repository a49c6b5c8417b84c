// The release objects' one codec: single zstd frames, on their own or as a
// patch against an earlier version of the file (zstd's patch-from mode, the
// old file as the frame's prefix). Encoding is the maintainer's; decoding is
// bounded so that a hostile frame costs at most its declared output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk {

// The largest window a patch or copy may ask for, on any build: 2^30 bytes.
// Frames are made for files below that; a larger one is not a release's.
inline constexpr int kFrameWindowLogMax = 30;

// The window that covers base and file together, so that every byte of the
// file may refer back to any byte of the base (zstd's "long" window, which
// patch-from needs where files are large).
int PatchWindowLog(std::uint64_t baseLength, std::uint64_t fileLength);

// One frame of `file`, at zstd level `level`, with `base` as its prefix when
// it is not empty. Fails only when zstd does.
Result<std::string> EncodeFrame(std::string_view file, std::string_view base, int level);

// The file `frame` holds, decoded (with `base` as its prefix for a patch):
// exactly one frame and nothing after it, at most `maxLength` bytes of
// output, at most the window PatchWindowLog(base, maxLength) and never above
// kFrameWindowLogMax. Anything else (a corrupt frame, one for another base,
// one that would decode longer) fails with a reason for the log; the memory
// it takes is bounded by maxLength and that window, whatever the frame says.
// A refused frame is a failure of kind kInvalid.
Result<std::string> DecodeFrame(std::string_view frame, std::string_view base, std::uint64_t maxLength);

}  // namespace vmrk
