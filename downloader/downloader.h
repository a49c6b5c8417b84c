// The downloader component as the window uses it: one transfer at a time, set
// up through SourceURL and SaveFolder, started by BeginDownload, ended by
// exactly one event (DL_Finished or DL_Failed) unless AbortDownload comes
// first. Implementations: Qt Network on Linux, WinHTTP on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vmrk {

// DL_Failed codes the window acts on; all others are ignored by it.
enum DownloadFailure : std::int32_t {
  // HTTP status 400 and above, a body cut short or longer than allowed, or a
  // body that is not the file as stored (a 206 nobody asked for, a
  // Content-Encoding nobody asked for).
  kCannotDownload = 1,
  kTooManyRedirects = 2,
  kNoResponse = 3,          // no response came: the connection closed, or nothing came in time
  kCannotWriteLocally = 4,  // the file could not be created, written or put in place here
  kUnknownFailure = 99,     // name lookup, a refused connection, an unusable address
};

// No transfer may bring more than this unless the window says otherwise.
inline constexpr std::uint64_t kDefaultMaxBytes = 64ull << 20;

// A transfer that goes quiet for longer fails: code 3 while no byte of the
// response has come, code 1 once it has. The window's thread never waits
// for a quiet server, so these bound only how long the window shows a
// transfer that is not moving; Cancel and Close end one at once.
struct DownloadTimeouts {
  int connectMs = 15000;  // until the request is on the wire (TLS handshake included)
  int idleMs = 30000;     // longest wait for the response or for more of the body
  // A transfer that broke off after bytes came (a reset or cut connection,
  // silence, a 5xx) is resumed from the kept bytes after these waits, one
  // retry each; a retry that brings the file on starts the count over.
  std::vector<int> retryDelaysMs = {1000, 3000, 9000};
};

// One transfer, described whole: every setting it is started with, so that
// nothing is left over from the transfer before (a byte range, a bound).
struct TransferRequest {
  std::string url;
  std::string saveFolder;  // without a trailing separator
  std::uint64_t maxBytes = kDefaultMaxBytes;
  // A part of the file (see SetByteRange); length 0: the whole file.
  std::uint64_t first = 0, length = 0;
  bool computeSha256 = false;
  // Asks every cache on the way to check with the server before it answers
  // (Cache-Control and Pragma: no-cache): for the one file that changes
  // under its name.
  bool revalidate = false;
  // Sent after "?" as it is (URL-safe characters only): a request that no
  // cache has answered before. The saved file keeps the name the URL gives.
  std::string query;
};

class DownloaderEvents {
 public:
  virtual ~DownloaderEvents() = default;
  virtual void DL_Finished(std::int32_t value) = 0;
  virtual void DL_Failed(std::int32_t code, std::int32_t extra) = 0;
  virtual void DL_Progress(float fraction, std::int32_t extra1, std::int32_t extra2) = 0;
  // The transfer broke off and is tried again after a wait: retry `attempt`
  // of `tries`. FailureDetail tells why until the next event.
  virtual void DL_Retrying(std::int32_t /*attempt*/, std::int32_t /*tries*/) {}
};

// Events are delivered on the window's thread, never from inside
// BeginDownload, and never for a transfer after AbortDownload, which also
// ends a wait between retries and removes the bytes kept for them.
class Downloader {
 public:
  virtual ~Downloader() = default;
  virtual void SetEvents(DownloaderEvents* events) = 0;
  virtual void SetSourceURL(const std::string& address) = 0;
  // Folder without a trailing separator.
  virtual void SetSaveFolder(const std::string& folder) = 0;
  // The longest body the next transfers may bring; one that grows past it is
  // stopped at once as a failed transfer (code 1), nothing of it kept.
  virtual void SetMaxBytes(std::uint64_t maxBytes) = 0;
  // The next transfers bring only bytes first..first+length-1 of the file,
  // saved under the file's name as a file of `length` bytes; length 0 brings
  // the whole file. A server that answers with anything but exactly that
  // part (a 200 with the whole file among them) fails the transfer (code 1).
  // Resumes and retries stay within the part.
  virtual void SetByteRange(std::uint64_t first, std::uint64_t length) = 0;
  // Full local path of the last finished transfer's file; valid from its
  // DL_Finished until the next BeginDownload.
  virtual std::string SavedFileName() const = 0;
  // With it on, the SHA-256 of each body is computed while it streams in (a
  // signed release never reads a file twice), and SavedFileSha256 gives the
  // 32 bytes with the same validity as SavedFileName; off, it gives "".
  virtual void SetComputeSha256(bool on) = 0;
  virtual std::string SavedFileSha256() const = 0;
  // Why the last transfer (or try) failed, for the update log: "HTTP 404",
  // a system error number, "silent for 30 s"; valid from its DL_Failed or
  // DL_Retrying until the next event or BeginDownload.
  virtual std::string FailureDetail() const { return {}; }
  // The HTTP status (400 and above) that ended the last transfer, with the
  // same validity as FailureDetail; 0 when no such answer ended it (no
  // connection, silence, a body cut short).
  virtual int FailureHttpStatus() const { return 0; }
  // The next transfers ask caches to revalidate (TransferRequest::revalidate).
  virtual void SetRevalidate(bool /*on*/) {}
  // The next transfers' query (TransferRequest::query); "" for none.
  virtual void SetQuery(const std::string& /*query*/) {}
  // Opens a connection to the server of `address` (an http or https URL)
  // for the transfers to come, so that the next one does not wait for the
  // connect and handshake. Nothing is asked and no event comes of it: a
  // connection that fails or goes unused costs only itself, and a transfer
  // after it connects as it always does when there is none. False when this
  // downloader opens connections only with a request (WinHTTP) or the
  // address is not one it can reach.
  virtual bool Preconnect(const std::string& /*address*/) { return false; }
  virtual void BeginDownload() = 0;
  // Every setting from the request, then BeginDownload(): the way the update
  // starts each of its transfers.
  void BeginDownload(const TransferRequest& request) {
    SetSourceURL(request.url);
    SetSaveFolder(request.saveFolder);
    SetMaxBytes(request.maxBytes);
    SetByteRange(request.first, request.length);
    SetComputeSha256(request.computeSha256);
    SetRevalidate(request.revalidate);
    SetQuery(request.query);
    BeginDownload();
  }
  virtual void AbortDownload() = 0;
};

}  // namespace vmrk
