// The Linux window as a user would meet it, drawn by Qt's offscreen platform.
#include "app/qt/updater_widget.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QStyle>
#include <QHeaderView>
#include <QKeyEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeView>
#include <memory>

#include "app/texts.h"
#include "app/window_layout.h"
#include "downloader/qt/qt_downloader.h"
#include "platform/ini_settings_store.h"
#include "tests/support/event_pump.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

class UpdaterWidgetTest : public testing::Test {
 protected:
  UpdaterWidgetTest() : settings_(config_.path()) {
    setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    lock_ = platform::CreateInstanceLock("vmrkxupdate");
    window_ = std::make_unique<UpdaterWindow>(UpdaterServices{desktop_, settings_, *lock_, downloader_, app_.path()});
    window_->Form_Load();
    widget_ = std::make_unique<UpdaterWidget>(*window_, downloader_);
    widget_->show();
  }
  ~UpdaterWidgetTest() override { unsetenv("XDG_RUNTIME_DIR"); }

  template <typename T = QWidget>
  T* Find(const char* name) {
    T* found = widget_->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  QRect Expected(const char* name) {
    const ControlSpec* found = ControlNamed(name);
    if (found == nullptr) {
      ADD_FAILURE() << "no control named " << name;
      return {};
    }
    const ControlSpec& spec = *found;
    return QRect(widget_->Px(spec.rect.left), widget_->Px(spec.rect.top), widget_->Px(spec.rect.width),
                 widget_->Px(spec.rect.height));
  }

  test::TempDir app_, config_, runtime_;
  platform::IniSettingsStore settings_;
  std::unique_ptr<platform::InstanceLock> lock_;
  test::FakeDesktop desktop_;
  QtDownloader downloader_;
  std::unique_ptr<UpdaterWindow> window_;
  std::unique_ptr<UpdaterWidget> widget_;
};

TEST_F(UpdaterWidgetTest, WindowHasItsCaptionSizeAndIcon) {
  EXPECT_EQ(widget_->windowTitle(), QString::fromUtf8("Vmr播放器 - 在线升级"));
  EXPECT_EQ(widget_->size(), QSize(widget_->Px(9615), widget_->Px(6135)));
  EXPECT_EQ(widget_->minimumSize(), widget_->maximumSize());  // never resized
  EXPECT_FALSE(widget_->windowIcon().isNull());
  EXPECT_EQ(widget_->Px(15), std::max(1, widget_->Px(15)));
}

TEST_F(UpdaterWidgetTest, FixedControlsStandAtTheirPlaces) {
  for (const char* name : {"cmdBegin", "cmdCancel", "Command2", "Picture1", "Label2(0)", "Label2(1)", "Label2(2)",
                           "ListView1", "DL"}) {
    QWidget* w = Find(name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->geometry(), Expected(name)) << name;
  }
  // Sized to their text, from their top-left corner.
  for (const char* name : {"Label1", "Label3(7)", "Label3(4)", "Label4(0)", "Label4(1)"}) {
    QWidget* w = Find(name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->pos(), Expected(name).topLeft()) << name;
  }
  EXPECT_EQ(Find("Label2(0)")->parentWidget(), Find("Picture1"));
  EXPECT_EQ(Find("Label4(1)")->parentWidget(), Find("Picture1"));
}

TEST_F(UpdaterWidgetTest, InitialStateAsTheUserSeesIt) {
  // No myip.txt in this application folder.
  auto* begin = Find<QPushButton>("cmdBegin");
  auto* cancel = Find<QPushButton>("cmdCancel");
  auto* generate = Find<QPushButton>("Command2");
  EXPECT_EQ(begin->text(), QString::fromUtf8(texts::kClose));
  EXPECT_TRUE(begin->isEnabled());
  EXPECT_EQ(cancel->text(), QString::fromUtf8("取 消"));
  EXPECT_FALSE(cancel->isEnabled());
  EXPECT_FALSE(generate->isVisible());
  EXPECT_EQ(generate->text(), QString::fromUtf8("生成列表"));
  auto* status = Find<QLabel>("Label3(4)");
  EXPECT_EQ(status->text(), QString::fromUtf8(texts::kStatusNoAddressFile));
  EXPECT_EQ(status->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(Find<QLabel>("Label1")->text(), QString::fromUtf8("www.vmrsoft.com"));
  EXPECT_EQ(Find<QLabel>("Label1")->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_TRUE(Find<QLabel>("Label1")->font().underline());
  EXPECT_EQ(Find<QLabel>("Label2(0)")->text(), QString::fromUtf8(" \n\n获取列表"));
}

TEST_F(UpdaterWidgetTest, FileTableHasItsFiveColumns) {
  auto* table = Find<QTreeView>("ListView1");
  ASSERT_EQ(table->model()->columnCount(), 5);
  const char* headers[] = {"序号", "文件位置", "大小", "修改日期", "状态"};
  // The widest text each column shows whole at the default size: a listed
  // date with its seconds, a retry.
  const char* widest[] = {"序号", "文件位置", "1023k", "2026-11-20 09:30:45", "重试 3/3"};
  const QFontMetrics metrics(table->font());
  // Qt elides a text that only just fits: a pixel more on each side.
  const int padding = 2 * (table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 2);
  int total = 0;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(table->model()->headerData(i, Qt::Horizontal).toString(), QString::fromUtf8(headers[i]));
    EXPECT_EQ(table->columnWidth(i), widget_->Px(FileTableColumns()[static_cast<size_t>(i)].widthTwips));
    EXPECT_LE(metrics.horizontalAdvance(QString::fromUtf8(widest[i])) + padding, table->columnWidth(i)) << widest[i];
    total += table->columnWidth(i);
  }
  EXPECT_LE(total, table->viewport()->width());  // no column hides behind the edge
  EXPECT_EQ(table->model()->rowCount(), 0);
}

TEST_F(UpdaterWidgetTest, StepPanelColoursAfterStartUp) {
  QImage picture = widget_->grab().toImage();
  QRect panel = Expected("Picture1");
  // A corner of the panel, away from the step labels.
  EXPECT_EQ(QColor(picture.pixel(panel.left() + 2, panel.bottom() - 2)), QColor(220, 255, 220));
  QRect step0 = Find("Label2(0)")->geometry().translated(panel.topLeft());
  EXPECT_EQ(QColor(picture.pixel(step0.left() + 4, step0.top() + 4)), QColor(255, 192, 128));
  QRect step1 = Find("Label2(1)")->geometry().translated(panel.topLeft());
  EXPECT_EQ(QColor(picture.pixel(step1.left() + 4, step1.top() + 4)), QColor(236, 233, 216));
}

TEST_F(UpdaterWidgetTest, LabelsUseACjkFontWhereSimSunIsMissing) {
  QFontInfo info(Find<QLabel>("Label2(0)")->font());
  QStringList cjk = {"SimSun", "宋体", "NSimSun", "Noto Serif CJK SC", "WenQuanYi Micro Hei", "Noto Sans CJK SC",
                     "Droid Sans Fallback"};
  EXPECT_TRUE(cjk.contains(info.family())) << info.family().toStdString();
  EXPECT_TRUE(Find<QLabel>("Label2(0)")->font().bold());
  EXPECT_DOUBLE_EQ(Find<QLabel>("Label2(0)")->font().pointSizeF(), 10.5);
}

TEST_F(UpdaterWidgetTest, ShiftF8ReachesTheWindowBeforeTheFocusedControl) {
  auto* table = Find<QTreeView>("ListView1");
  table->setFocus();
  QKeyEvent plain(QEvent::KeyPress, Qt::Key_F8, Qt::NoModifier);
  QApplication::sendEvent(table, &plain);
  EXPECT_FALSE(Find("Command2")->isVisible());
  QKeyEvent shifted(QEvent::KeyPress, Qt::Key_F8, Qt::ShiftModifier);
  QApplication::sendEvent(table, &shifted);
  EXPECT_TRUE(Find("Command2")->isVisible());
}

TEST_F(UpdaterWidgetTest, CloseButtonClosesTheWindow) {
  Find<QPushButton>("cmdBegin")->click();
  EXPECT_TRUE(test::PumpUntil([&] { return !widget_->isVisible(); }, 2000));
}

TEST_F(UpdaterWidgetTest, AnIdleWindowTouchesNothingAndAChangeRedrawsOnce) {
  auto* table = Find<QTreeView>("ListView1");
  auto* status = Find<QLabel>("Label3(4)");
  int changes = 0, resets = 0, repaints = 0;
  QObject::connect(table->model(), &QAbstractItemModel::dataChanged, [&] { ++changes; });
  QObject::connect(table->model(), &QAbstractItemModel::modelReset, [&] { ++resets; });
  struct PaintCounter : QObject {
    int* count;
    explicit PaintCounter(int* c) : count(c) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++*count;
      return false;
    }
  } counter(&repaints);
  test::PumpFor(300);  // the first show's paints settle
  status->installEventFilter(&counter);
  table->viewport()->installEventFilter(&counter);
  test::PumpFor(700);  // seven ticks of Timer1
  EXPECT_EQ(changes + resets + repaints, 0);
  // A list arrives (here: none readable): one reset, one new status text.
  window_->DL_Finished(1);
  widget_->Render();
  widget_->Render();
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(status->text(), QString::fromUtf8(texts::kStatusListBroken));
}

TEST(KeyTranslation, QtKeysToVirtualKeyCodes) {
  EXPECT_EQ(VirtualKeyCode(Qt::Key_F8), 119);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_F1), 112);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_A), 65);
  EXPECT_EQ(ShiftState(Qt::ShiftModifier), 1);
  EXPECT_EQ(ShiftState(Qt::ShiftModifier | Qt::ControlModifier), 3);
  EXPECT_EQ(ShiftState(Qt::ShiftModifier | Qt::AltModifier), 5);
}

}  // namespace
}  // namespace vmrk
