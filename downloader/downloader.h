// The downloader component as the window uses it: one transfer at a time, set
// up through SourceURL and SaveFolder, started by BeginDownload, ended by
// exactly one event (DL_Finished or DL_Failed) unless AbortDownload comes
// first. Implementations: Qt Network on Linux, WinHTTP on Windows.
#pragma once

#include <cstdint>
#include <string>

namespace vmrk {

// DL_Failed codes the window acts on; all others are ignored by it.
enum DownloadFailure : std::int32_t {
  kCannotDownload = 1,   // HTTP status 400 and above, or a body cut short
  kTooManyRedirects = 2,
  kNoResponse = 3,       // the connection closed before any response came
  kUnknownFailure = 99,  // timeouts, name lookup, an unusable address, local I/O
};

struct DownloadTimeouts {
  int connectMs = 30000;  // until the request is on the wire
  int idleMs = 60000;     // longest wait for the response or for more of the body
};

class DownloaderEvents {
 public:
  virtual ~DownloaderEvents() = default;
  virtual void DL_Finished(std::int32_t value) = 0;
  virtual void DL_Failed(std::int32_t code, std::int32_t extra) = 0;
  virtual void DL_Progress(float fraction, std::int32_t extra1, std::int32_t extra2) = 0;
};

// Events are delivered on the window's thread, never from inside
// BeginDownload, and never for a transfer after AbortDownload.
class Downloader {
 public:
  virtual ~Downloader() = default;
  virtual void SetEvents(DownloaderEvents* events) = 0;
  virtual void SetSourceURL(const std::string& address) = 0;
  // Folder without a trailing separator.
  virtual void SetSaveFolder(const std::string& folder) = 0;
  // Full local path of the last finished transfer's file; valid from its
  // DL_Finished until the next BeginDownload.
  virtual std::string SavedFileName() const = 0;
  virtual void BeginDownload() = 0;
  virtual void AbortDownload() = 0;
};

}  // namespace vmrk
