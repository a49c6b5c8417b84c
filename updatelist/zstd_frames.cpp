#include "updatelist/zstd_frames.h"

#include <zstd.h>

#include <memory>

namespace vmrk {
namespace {

// zstd's own limits, which its header keeps behind ZSTD_STATIC_LINKING_ONLY.
constexpr int kWindowLogMin = 10;
// Above it the decoder needs to be told the window, and the encoder matches
// long distances (zstd --long).
constexpr int kWindowLogDefaultLimit = 27;

struct FreeCCtx {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct FreeDCtx {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

Status ZstdFailure(const char* what, size_t code) {
  return Status::Error(Status::Kind::kInvalid, std::string(what) + ": " + ZSTD_getErrorName(code));
}

}  // namespace

int PatchWindowLog(std::uint64_t baseLength, std::uint64_t fileLength) {
  const std::uint64_t span = baseLength + fileLength;
  int log = kWindowLogMin;
  while (log < kFrameWindowLogMax && (std::uint64_t{1} << log) < span) ++log;
  return log;
}

Result<std::string> EncodeFrame(std::string_view file, std::string_view base, int level) {
  std::unique_ptr<ZSTD_CCtx, FreeCCtx> c(ZSTD_createCCtx());
  if (!c) return Status::Error(Status::Kind::kNoRoom, "zstd: out of memory");
  size_t r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, level);
  // The length in the frame header lets a reader refuse a frame that claims
  // more than the file before decoding a byte of it.
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_contentSizeFlag, 1);
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_checksumFlag, 1);
  if (!base.empty()) {
    const int window = PatchWindowLog(base.size(), file.size());
    if (!ZSTD_isError(r) && window > kWindowLogDefaultLimit)
      r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_enableLongDistanceMatching, 1);
    if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_windowLog, window);
    if (!ZSTD_isError(r)) r = ZSTD_CCtx_refPrefix(c.get(), base.data(), base.size());
  } else if (!ZSTD_isError(r)) {
    r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_windowLog, PatchWindowLog(0, file.size()));
  }
  if (ZSTD_isError(r)) return ZstdFailure("zstd parameters", r);
  std::string frame(ZSTD_compressBound(file.size()), '\0');
  r = ZSTD_compress2(c.get(), frame.data(), frame.size(), file.data(), file.size());
  if (ZSTD_isError(r)) return ZstdFailure("zstd", r);
  frame.resize(r);
  return frame;
}

Result<std::string> DecodeFrame(std::string_view frame, std::string_view base, std::uint64_t maxLength) {
  // Every refusal below is of the frame's bytes.
  auto invalid = [](std::string why) { return Status::Error(Status::Kind::kInvalid, std::move(why)); };
  // Today's frame format only: Debian's libzstd also decodes the legacy
  // formats of before 1.0 (the Windows build has them compiled out), which
  // keep no window limit of their own.
  if (frame.size() < 4 || static_cast<unsigned char>(frame[0]) != 0x28 || static_cast<unsigned char>(frame[1]) != 0xB5 ||
      static_cast<unsigned char>(frame[2]) != 0x2F || static_cast<unsigned char>(frame[3]) != 0xFD)
    return invalid("not a zstd frame");
  // The header's claim next: a frame that says it is longer than the file
  // is refused unread.
  const unsigned long long claimed = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (claimed == ZSTD_CONTENTSIZE_ERROR) return invalid("not a zstd frame");
  if (claimed == ZSTD_CONTENTSIZE_UNKNOWN) return invalid("a frame that does not say its length");
  if (claimed != ZSTD_CONTENTSIZE_UNKNOWN && claimed > maxLength)
    return invalid("the frame says " + std::to_string(claimed) + " bytes, more than the " +
                         std::to_string(maxLength) + " the manifest names");
  const size_t frameLength = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
  if (ZSTD_isError(frameLength)) return ZstdFailure("a broken frame", frameLength);
  if (frameLength != frame.size()) return invalid("bytes after the frame");
  if (maxLength >= (std::uint64_t{1} << kFrameWindowLogMax)) return invalid("a file too large for a frame");

  std::unique_ptr<ZSTD_DCtx, FreeDCtx> d(ZSTD_createDCtx());
  if (!d) return Status::Error(Status::Kind::kNoRoom, "zstd: out of memory");
  size_t r = ZSTD_DCtx_setParameter(d.get(), ZSTD_d_windowLogMax, PatchWindowLog(base.size(), maxLength));
  if (!ZSTD_isError(r) && !base.empty()) r = ZSTD_DCtx_refPrefix(d.get(), base.data(), base.size());
  if (ZSTD_isError(r)) return ZstdFailure("zstd parameters", r);
  // The output grows as it is decoded, a piece at a time, so that what a
  // frame costs is what it really decodes to, never what its header says
  // (a 13-byte frame may claim the manifest's whole length). Reserved, not
  // filled: untouched pages cost nothing. One byte beyond the claim tells a
  // frame that decodes longer from one that fills it exactly.
  std::string file;
  file.reserve(static_cast<size_t>(claimed));
  std::string piece(ZSTD_DStreamOutSize(), '\0');
  ZSTD_inBuffer in{frame.data(), frame.size(), 0};
  do {
    ZSTD_outBuffer out{piece.data(), piece.size(), 0};
    const size_t inBefore = in.pos;
    r = ZSTD_decompressStream(d.get(), &out, &in);
    if (ZSTD_isError(r)) return ZstdFailure("the frame does not decode", r);
    if (file.size() + out.pos > claimed)
      return invalid("the frame decodes to more than the " + std::to_string(claimed) + " bytes it says");
    file.append(piece.data(), out.pos);
    if (r != 0 && in.pos == inBefore && out.pos == 0) break;  // wants input there is none of
  } while (r != 0);
  if (r != 0) return invalid("the frame ends early");
  if (file.size() != claimed) return invalid("the frame decodes to fewer bytes than it says");
  return file;
}

}  // namespace vmrk
