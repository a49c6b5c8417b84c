// The platform's real downloader, for tests that run on both platforms.
#pragma once

#include <memory>

#include "downloader/downloader.h"

namespace vmrk::test {
std::unique_ptr<Downloader> CreatePlatformDownloader(DownloadTimeouts timeouts);
}
