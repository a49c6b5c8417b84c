// The settings a transfer is started with and the results it leaves, kept
// the same way by every downloader: only BeginDownload and AbortDownload,
// and how the bytes move, are each implementation's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "downloader/downloader.h"
#include "downloader/resume.h"

namespace vmrk {

class DownloaderBase : public Downloader {
 public:
  using Downloader::BeginDownload;
  void SetEvents(DownloaderEvents* events) override { events_ = events; }
  void SetSourceURL(const std::string& address) override { sourceUrl_ = address; }
  void SetSaveFolder(const std::string& folder) override { saveFolder_ = folder; }
  void SetMaxBytes(std::uint64_t maxBytes) override { maxBytes_ = maxBytes; }
  void SetByteRange(std::uint64_t first, std::uint64_t length) override {
    part_ = length == 0 ? std::nullopt : std::optional<BytePart>(BytePart{first, length});
  }
  std::string SavedFileName() const override { return savedFileName_; }
  std::string SavedFileSha256() const override { return savedSha256_; }
  void SetComputeSha256(bool on) override { computeSha256_ = on; }
  std::string FailureDetail() const override { return failureDetail_; }
  int FailureHttpStatus() const override { return failureHttpStatus_; }
  void SetRevalidate(bool on) override { revalidate_ = on; }
  void SetQuery(const std::string& query) override { query_ = query; }

 protected:
  // A new transfer begins: nothing of the last one's results stays valid.
  void ForgetResults() {
    savedFileName_.clear();
    savedSha256_.clear();
    failureDetail_.clear();
    failureHttpStatus_ = 0;
  }

  DownloaderEvents* events_ = nullptr;
  std::string sourceUrl_;
  std::string saveFolder_;
  std::uint64_t maxBytes_ = kDefaultMaxBytes;
  std::optional<BytePart> part_;
  bool computeSha256_ = false;
  std::string savedFileName_;
  std::string savedSha256_;
  std::string failureDetail_;
  int failureHttpStatus_ = 0;
  bool revalidate_ = false;
  std::string query_;
};

}  // namespace vmrk
