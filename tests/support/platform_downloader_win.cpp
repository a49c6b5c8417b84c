#include "downloader/win32/winhttp_downloader.h"
#include "tests/support/platform_downloader.h"

namespace vmrk::test {
std::unique_ptr<Downloader> CreatePlatformDownloader(DownloadTimeouts timeouts) {
  return std::make_unique<WinHttpDownloader>(timeouts);
}
}  // namespace vmrk::test
