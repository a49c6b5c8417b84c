// The updater window over real parts: a temporary application and Windows
// folder, a real settings file, the real instance lock, the real downloader
// and the tests' own HTTP server. Only the desktop is faked.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/updater_window.h"
#include "downloader/qt/qt_downloader.h"
#include "platform/background_work.h"
#include "platform/civil_time.h"
#include "platform/file_time.h"
#include "platform/ini_settings_store.h"
#include "tests/support/event_pump.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/loopback_server.h"
#include "tests/support/release_writer.h"
#include "tests/support/temp_dir.h"
#include "updatelist/list_date.h"
#include "updatelist/rtf_writer.h"

namespace vmrk::test {

// Hands the downloader's events to the window and counts them.
struct Forwarder : DownloaderEvents {
  UpdaterWindow* window = nullptr;
  int finished = 0, failed = 0;
  std::function<void()> beforeFinished;  // runs before the window hears of a finish
  void DL_Finished(std::int32_t v) override {
    ++finished;
    if (beforeFinished) beforeFinished();
    window->DL_Finished(v);
  }
  void DL_Failed(std::int32_t c, std::int32_t e) override {
    ++failed;
    window->DL_Failed(c, e);
  }
  void DL_Progress(float f, std::int32_t a, std::int32_t b) override { window->DL_Progress(f, a, b); }
  void DL_Retrying(std::int32_t attempt, std::int32_t tries) override {
    window->DL_Retrying(attempt, tries);
    if (afterRetrying) afterRetrying();
  }
  std::function<void()> afterRetrying;  // runs once the window has heard of a retry
};

class WindowFixture : public testing::Test {
 protected:
  WindowFixture() : server_(release_.path()), settings_(config_.path()) {
    setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    setenv("WINDIR", windows_.path().c_str(), 1);
    lock_ = platform::CreateInstanceLock("vmrkxupdate");
    appPath_ = app_.path();
  }
  ~WindowFixture() override {
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("WINDIR");
  }

  UpdaterWindow& Window() {
    if (!window_) {
      window_ = std::make_unique<UpdaterWindow>(
          UpdaterServices{desktop_, settings_, *lock_, downloader_, appPath_, app_.Sub("vmrkxupdate"),
                          releaseRoot_.path() + "/", keyFile_, false, false, false,
                          sideBySide_ ? std::function<std::unique_ptr<Downloader>()>([] {
                            return std::make_unique<QtDownloader>(kTestTimeouts);
                          })
                                      : nullptr,
                          threaded_ ? std::function<std::unique_ptr<platform::BackgroundWork>()>([] {
                            return platform::NewWorkerThread();
                          })
                                    : nullptr,
                          // A grace as the program's, only longer, so that a test
                          // server slowed by a loaded machine is not passed over;
                          // still shorter than the connect bound below.
                          threaded_ ? platform::MakeAlarm([](int ms, std::function<void()> fire) {
                            return platform::NewAlarm(std::max(ms, 3000), std::move(fire));
                          })
                                    : nullptr});
      forwarder_.window = window_.get();
      downloader_.SetEvents(&forwarder_);
    }
    return *window_;
  }
  const WindowState& State() { return Window().state(); }
  void WriteAddressFile(const std::string& text) { app_.Write("myip.txt", text); }
  void PointAtServer() { WriteAddressFile("seip:" + server_.HostPort() + "\r\n"); }

  // Serves the files and a list of them, written as the generator writes it.
  void Publish(const std::vector<ReleaseFile>& files) { WriteRelease(release_, files); }

  // Start-up and the list check.
  void LoadAndCheck() {
    PointAtServer();
    ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
    ASSERT_TRUE(PumpUntil([&] { return forwarder_.finished + forwarder_.failed > 0; }, 10000));
  }
  // Next, then until the sequence ends one way or the other.
  void RunUpdate() {
    ASSERT_EQ(State().cmdBegin.caption, "下一步");
    ASSERT_TRUE(State().cmdBegin.enabled);
    Window().cmdBegin_Click();
    ASSERT_TRUE(PumpUntil([&] { return State().cmdBegin.enabled; }, 20000));
  }

  std::int64_t LocalTimeOf(const std::string& path) {
    Result<std::int64_t> t = platform::FileModifiedTime(path);
    EXPECT_TRUE(t.ok()) << path;
    return t.ok() ? *t : 0;
  }

  TempDir app_, release_, config_, runtime_, windows_, releaseRoot_;
  LoopbackServer server_;
  platform::IniSettingsStore settings_;
  std::unique_ptr<platform::InstanceLock> lock_;
  FakeDesktop desktop_;
  // Retries as the product makes them, only sooner. A connect on loopback
  // takes microseconds: its bound only ever ends a black-holed server.
  static inline const DownloadTimeouts kTestTimeouts{4000, 30000, {100, 100, 100}};
  QtDownloader downloader_{kTestTimeouts};
  Forwarder forwarder_;
  std::string appPath_;
  std::string keyFile_;  // the maintainer's signing key, if a test sets one
  bool sideBySide_ = false;  // files fetched by several downloaders at once, as the program does
  bool threaded_ = false;    // hashing, decoding and installing on a worker, as the program does
  std::unique_ptr<UpdaterWindow> window_;
};

}  // namespace vmrk::test
