// The release objects' one codec: single zstd frames, on their own or as a
// patch against an earlier version of the file (zstd's patch-from mode, the
// old file as the frame's prefix). Encoding is the maintainer's; decoding is
// bounded so that a hostile frame costs at most its declared output.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk {

// The largest window a patch or copy may ask for, on any build: 2^30 bytes.
// Frames are made for files below that; a larger one is not a release's.
inline constexpr int kFrameWindowLogMax = 30;

// A compressed copy's window: what decoding it as it streams holds, whatever
// the file's length (zstd's own choice at the levels releases are made at).
inline constexpr int kCopyWindowLog = 23;

// The longest base and file a patch is made for: both mapped fit a 32-bit
// process's address space with room to spare, and their window stays within
// kFrameWindowLogMax. Longer files come as copies.
inline constexpr std::uint64_t kLongestPatchedFile = std::uint64_t{512} << 20;
constexpr bool PatchAllowed(std::uint64_t baseLength, std::uint64_t fileLength) {
  return baseLength <= kLongestPatchedFile && fileLength <= kLongestPatchedFile;
}

// The window that covers base and file together, so that every byte of the
// file may refer back to any byte of the base (zstd's "long" window, which
// patch-from needs where files are large).
int PatchWindowLog(std::uint64_t baseLength, std::uint64_t fileLength);

// One frame of `file`, at zstd level `level`, with `base` as its prefix when
// it is not empty (a copy's window is at most kCopyWindowLog). A base longer
// than the optimal parser searches whole is matched at a lower level with
// long-distance matching, which finds it wherever it lies. Fails only when
// zstd does.
Result<std::string> EncodeFrame(std::string_view file, std::string_view base, int level);

// The file `frame` holds, decoded (with `base` as its prefix for a patch):
// exactly one frame and nothing after it, at most `maxLength` bytes of
// output, at most the window PatchWindowLog(base, maxLength) and never above
// kFrameWindowLogMax. Anything else (a corrupt frame, one for another base,
// one that would decode longer) fails with a reason for the log; the memory
// it takes is bounded by maxLength and that window, whatever the frame says.
// A refused frame is a failure of kind kInvalid.
Result<std::string> DecodeFrame(std::string_view frame, std::string_view base, std::uint64_t maxLength);

// One frame decoded as its bytes arrive, in pieces of any length, with
// DecodeFrame's refusals and bounds. A failure is final: every later call
// returns it.
class FrameDecoder {
 public:
  using Sink = std::function<Status(std::string_view)>;
  // The file goes to `sink` as it is decoded. The decoder holds the frame's
  // window meanwhile: small for a copy, the whole file for a patch.
  FrameDecoder(std::string_view base, std::uint64_t maxLength, Sink sink);
  // The file is written into `whole` (maxLength bytes, a mapped file say),
  // front to back, and read back from there: the decoder holds no window of
  // its own, which is what a patch of a long file needs. `progress`, when
  // given, is told the length decoded every few MiB at most (a small frame
  // may decode to the whole file in one Feed), so that what is written can
  // be hashed and let go of meanwhile.
  using Progress = std::function<void(std::uint64_t decoded)>;
  FrameDecoder(std::string_view base, std::uint64_t maxLength, char* whole, Progress progress = {});
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  Status Feed(std::string_view bytes);
  // After the last piece: the frame ended, nothing followed it, and it
  // decoded to the length it claimed, which is returned.
  Result<std::uint64_t> Finish();
  // Bytes of the file decoded so far (written to `whole`, or handed over).
  std::uint64_t decoded() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vmrk
