#include "updatelist/zstd_frames.h"

// For ZSTD_d_stableOutBuffer, a parameter that libzstd itself takes as any.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>

#include <memory>

namespace vmrk {
namespace {

constexpr int kWindowLogMin = ZSTD_WINDOWLOG_MIN;
// Above it the decoder needs to be told the window, and the encoder matches
// long distances (zstd --long).
constexpr int kWindowLogDefaultLimit = ZSTD_WINDOWLOG_LIMIT_DEFAULT;
// See EncodeFrame.
constexpr std::uint64_t kFullySearchedBase = std::uint64_t{32} << 20;
constexpr int kLongBaseLevel = 12;
// Input given to a decoder writing into the whole file, per call.
constexpr size_t kWholeSlice = 2048;

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
  // zstd's optimal parser (levels 16 and up) puts only the last 32 MiB or
  // so of a prefix in its tables, and single-threaded it then finds nothing
  // of a longer base: a 256 MiB file edited in three pages came out as its
  // copy. The lazy parser with long-distance matching finds the base
  // wherever it lies, in a fraction of the time.
  const bool longBase = base.size() > kFullySearchedBase;
  if (longBase) level = std::min(level, kLongBaseLevel);
  size_t r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, level);
  // The length in the frame header lets a reader refuse a frame that claims
  // more than the file before decoding a byte of it.
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_contentSizeFlag, 1);
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_checksumFlag, 1);
  if (!base.empty()) {
    const int window = PatchWindowLog(base.size(), file.size());
    if (!ZSTD_isError(r) && (longBase || window > kWindowLogDefaultLimit))
      r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_enableLongDistanceMatching, 1);
    if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_windowLog, window);
    if (!ZSTD_isError(r)) r = ZSTD_CCtx_refPrefix(c.get(), base.data(), base.size());
  } else if (!ZSTD_isError(r)) {
    r = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_windowLog, std::min(PatchWindowLog(0, file.size()), kCopyWindowLog));
  }
  if (ZSTD_isError(r)) return ZstdFailure("zstd parameters", r);
  std::string frame(ZSTD_compressBound(file.size()), '\0');
  r = ZSTD_compress2(c.get(), frame.data(), frame.size(), file.data(), file.size());
  if (ZSTD_isError(r)) return ZstdFailure("zstd", r);
  frame.resize(r);
  return frame;
}

struct FrameDecoder::State {
  std::string_view base;
  std::uint64_t maxLength = 0;
  Sink sink;
  char* whole = nullptr;
  Progress progress;
  std::unique_ptr<ZSTD_DCtx, FreeDCtx> d;
  std::string header;  // the frame's first bytes, until its claims are read
  bool started = false, ended = false;
  std::uint64_t claimed = 0, decoded = 0;
  ZSTD_outBuffer out{};  // into `whole`: the same buffer every call
  std::string piece;     // for the sink
  Status failure;

  Status Fail(Status status) {
    failure = std::move(status);
    return failure;
  }
  Status Invalid(std::string why) { return Fail(Status::Error(Status::Kind::kInvalid, std::move(why))); }

  // The header's claims, read before a byte is decoded: today's frame format
  // only (Debian's libzstd also decodes the legacy formats of before 1.0,
  // which keep no window limit of their own), a length that is said and is
  // at most the manifest's. False while more bytes are needed.
  Result<bool> Start() {
    if (header.size() >= 4 && (static_cast<unsigned char>(header[0]) != 0x28 ||
                               static_cast<unsigned char>(header[1]) != 0xB5 ||
                               static_cast<unsigned char>(header[2]) != 0x2F ||
                               static_cast<unsigned char>(header[3]) != 0xFD))
      return Invalid("not a zstd frame");
    if (header.size() < 5) return false;
    const size_t headerLength = ZSTD_frameHeaderSize(header.data(), header.size());
    if (ZSTD_isError(headerLength)) return Invalid("not a zstd frame");
    if (header.size() < headerLength) return false;
    const unsigned long long said = ZSTD_getFrameContentSize(header.data(), header.size());
    if (said == ZSTD_CONTENTSIZE_ERROR) return Invalid("not a zstd frame");
    if (said == ZSTD_CONTENTSIZE_UNKNOWN) return Invalid("a frame that does not say its length");
    if (said > maxLength)
      return Invalid("the frame says " + std::to_string(said) + " bytes, more than the " + std::to_string(maxLength) +
                     " the manifest names");
    claimed = said;
    d.reset(ZSTD_createDCtx());
    if (!d) return Fail(Status::Error(Status::Kind::kNoRoom, "zstd: out of memory"));
    // The window bounds what a frame may make the decoder hold (or, into
    // `whole`, reach back over): enough for base and file, never more.
    size_t r = ZSTD_DCtx_setParameter(d.get(), ZSTD_d_windowLogMax, PatchWindowLog(base.size(), maxLength));
    if (!ZSTD_isError(r) && whole) r = ZSTD_DCtx_setParameter(d.get(), ZSTD_d_stableOutBuffer, 1);
    if (!ZSTD_isError(r) && !base.empty()) r = ZSTD_DCtx_refPrefix(d.get(), base.data(), base.size());
    if (ZSTD_isError(r)) return Fail(ZstdFailure("zstd parameters", r));
    out = {whole, static_cast<size_t>(claimed), 0};
    if (!whole) piece.resize(ZSTD_DStreamOutSize());
    started = true;
    return true;
  }

  Status Decode(std::string_view bytes) {
    ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
    while (in.pos < in.size) {
      if (ended) return Invalid("bytes after the frame");
      const size_t inBefore = in.pos;
      size_t r;
      if (whole) {
        // The output buffer must stay the same, so what one call decodes is
        // bounded by the input it is given: a block decodes to at most
        // 128 KiB, and a slice holds a few hundred blocks at most.
        ZSTD_inBuffer slice{in.src, std::min(in.size, in.pos + kWholeSlice), in.pos};
        r = ZSTD_decompressStream(d.get(), &out, &slice);
        in.pos = slice.pos;
        if (ZSTD_isError(r)) return Fail(ZstdFailure("the frame does not decode", r));
        decoded = out.pos;
        if (progress) progress(decoded);
      } else {
        // Output a piece at a time, so that what a frame costs is what it
        // really decodes to, never what its header says. A full piece may
        // leave more inside the decoder: asked again even with no input.
        ZSTD_outBuffer o{piece.data(), piece.size(), 0};
        r = ZSTD_decompressStream(d.get(), &o, &in);
        if (ZSTD_isError(r)) return Fail(ZstdFailure("the frame does not decode", r));
        if (decoded + o.pos > claimed)
          return Invalid("the frame decodes to more than the " + std::to_string(claimed) + " bytes it says");
        decoded += o.pos;
        if (o.pos > 0)
          if (Status taken = sink(std::string_view(piece.data(), o.pos)); !taken.ok()) return Fail(taken);
        if (r != 0 && o.pos == o.size) continue;
      }
      if (r == 0) ended = true;
      else if (in.pos == inBefore) break;  // wants input there is none of yet
    }
    return Status::Ok();
  }
};

FrameDecoder::FrameDecoder(std::string_view base, std::uint64_t maxLength, Sink sink)
    : state_(std::make_unique<State>()) {
  state_->base = base;
  state_->maxLength = maxLength;
  state_->sink = std::move(sink);
}

FrameDecoder::FrameDecoder(std::string_view base, std::uint64_t maxLength, char* whole, Progress progress)
    : state_(std::make_unique<State>()) {
  state_->base = base;
  state_->maxLength = maxLength;
  state_->whole = whole;
  state_->progress = std::move(progress);
}

FrameDecoder::~FrameDecoder() = default;

std::uint64_t FrameDecoder::decoded() const { return state_->decoded; }

Status FrameDecoder::Feed(std::string_view bytes) {
  State& s = *state_;
  if (!s.failure.ok()) return s.failure;
  if (!s.started) {
    // The header is at most 18 bytes: gathered across pieces, then decoded
    // with the rest.
    const size_t take = std::min(bytes.size(), size_t{18} - s.header.size());
    s.header.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    Result<bool> started = s.Start();
    if (!started.ok()) return started.status();
    if (!*started) return Status::Ok();
    if (Status first = s.Decode(s.header); !first.ok()) return first;
  }
  return s.Decode(bytes);
}

Result<std::uint64_t> FrameDecoder::Finish() {
  State& s = *state_;
  if (!s.failure.ok()) return s.failure;
  if (!s.started) return s.Invalid(s.header.size() < 4 ? "not a zstd frame" : "the frame ends early");
  if (!s.ended) return s.Invalid("the frame ends early");
  if (s.decoded != s.claimed) return s.Invalid("the frame decodes to fewer bytes than it says");
  return s.decoded;
}

Result<std::string> DecodeFrame(std::string_view frame, std::string_view base, std::uint64_t maxLength) {
  // Grown as it is decoded, never to what the header says: a 13-byte frame
  // may claim the manifest's whole length.
  std::string file;
  FrameDecoder decoder(base, maxLength, [&file](std::string_view piece) {
    file.append(piece);
    return Status::Ok();
  });
  if (Status fed = decoder.Feed(frame); !fed.ok()) return fed;
  if (Result<std::uint64_t> ended = decoder.Finish(); !ended.ok()) return ended.status();
  return file;
}

}  // namespace vmrk
