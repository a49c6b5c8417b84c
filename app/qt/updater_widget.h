// The Qt rendering of the updater window. It builds the controls from the
// fixed layout, draws the core's WindowState after every event, and forwards
// clicks, keys (before the focused control sees them), timer ticks and the
// downloader's events to the core. It decides nothing itself.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <map>
#include <string>

#include "app/updater_window.h"

class QPushButton;
class QTreeView;
class QProgressBar;
class QFrame;

namespace vmrk {

class QtDownloader;

// A label that reports clicks (the home-page link).
class ClickableLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class UpdaterWidget : public QWidget {
  Q_OBJECT

 public:
  // The window and downloader must outlive the widget. The window becomes the
  // downloader's event receiver; the widget draws after each event.
  UpdaterWidget(UpdaterWindow& window, QtDownloader& downloader, QWidget* parent = nullptr);
  ~UpdaterWidget() override;

  // Draws the current state; closes the widget once the core asked for it.
  void Render();

  // Twips to this screen's pixels.
  int Px(int twips) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Build();
  QFont FontFor(const struct FontSpec& spec) const;

  UpdaterWindow& window_;
  QtDownloader& downloader_;
  double scale_ = 1.0;
  QFrame* picture1_ = nullptr;
  std::array<QLabel*, 3> label2_{};
  QLabel* statusLine_ = nullptr;
  QPushButton* cmdBegin_ = nullptr;
  QPushButton* cmdCancel_ = nullptr;
  QPushButton* command2_ = nullptr;
  QTreeView* listView1_ = nullptr;
  class FileTableModel* table_ = nullptr;
  std::uint64_t drawnRevision_ = 0;  // the state's revision last drawn
  int drawnSelection_ = 0;
  QProgressBar* dlStrip_ = nullptr;
  QTimer timer1_;
  bool closing_ = false;
  const QEvent* lastKeyEvent_ = nullptr;
  quint64 lastKeyTimestamp_ = 0;
};

// Windows virtual-key code for a Qt key (F1..F12, letters, digits; 0 else),
// and the VB-style shift state (1 Shift, 2 Ctrl, 4 Alt).
int VirtualKeyCode(int qtKey);
int ShiftState(Qt::KeyboardModifiers modifiers);

}  // namespace vmrk
