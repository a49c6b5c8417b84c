#include "app/qt/updater_widget.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QCloseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTreeView>
#include <cmath>

#include "app/qt/app_icon.h"
#include "app/qt/file_table_model.h"
#include "app/texts.h"
#include "app/window_layout.h"
#include "downloader/qt/qt_downloader.h"

namespace vmrk {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// Labels take CR LF from the original texts; Qt breaks lines at LF alone.
QString DisplayText(const std::string& text) {
  QString s = Q(text);
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return s;
}

QColor ToQColor(const Rgb& c) { return QColor(c.red, c.green, c.blue); }

// The families each face maps to, in order of preference; the Windows names
// first, then the CJK fonts that Debian installs.
QStringList FamiliesFor(FontFace face) {
  switch (face) {
    case FontFace::kSong:
      return {"SimSun", "宋体", "NSimSun", "Noto Serif CJK SC", "WenQuanYi Micro Hei", "Noto Sans CJK SC",
              "Droid Sans Fallback"};
    case FontFace::kHei:
      return {"SimHei", "黑体", "Noto Sans CJK SC", "WenQuanYi Micro Hei", "WenQuanYi Zen Hei",
              "Droid Sans Fallback"};
    case FontFace::kWindowDefault:
      break;
  }
  return {};
}

Qt::Alignment ToQtAlign(TextAlign align) {
  switch (align) {
    case TextAlign::kCenter: return Qt::AlignHCenter;
    case TextAlign::kRight: return Qt::AlignRight;
    case TextAlign::kLeft: break;
  }
  return Qt::AlignLeft;
}

void SetBackground(QWidget* widget, const Rgb& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, ToQColor(color));
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

void SetTextColor(QWidget* widget, const std::optional<Rgb>& color) {
  QPalette palette = widget->palette();
  QColor text = color ? ToQColor(*color) : QApplication::palette(widget).color(QPalette::WindowText);
  palette.setColor(QPalette::WindowText, text);
  widget->setPalette(palette);
}

}  // namespace

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
  QLabel::mouseReleaseEvent(event);
}

int VirtualKeyCode(int qtKey) {
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) return 112 + (qtKey - Qt::Key_F1);
  if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return 'A' + (qtKey - Qt::Key_A);
  if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return '0' + (qtKey - Qt::Key_0);
  switch (qtKey) {
    case Qt::Key_Return: case Qt::Key_Enter: return 13;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Space: return 32;
    case Qt::Key_Shift: return 16;
    case Qt::Key_Control: return 17;
    case Qt::Key_Alt: return 18;
    default: return 0;
  }
}

int ShiftState(Qt::KeyboardModifiers modifiers) {
  int state = 0;
  if (modifiers & Qt::ShiftModifier) state |= 1;
  if (modifiers & Qt::ControlModifier) state |= 2;
  if (modifiers & Qt::AltModifier) state |= 4;
  return state;
}

UpdaterWidget::UpdaterWidget(UpdaterWindow& window, QtDownloader& downloader, QWidget* parent)
    : QWidget(parent), window_(window), downloader_(downloader) {
  setObjectName("frmDLTest");
  QScreen* screen = QGuiApplication::primaryScreen();
  // Qt's logical pixels are already 1/96 inch where it scales for high DPI;
  // where it does not, the logical DPI carries the screen's density.
  if (screen != nullptr) scale_ = screen->logicalDotsPerInchX() / 96.0;
  if (scale_ <= 0) scale_ = 1.0;
  Build();
  downloader_.SetEvents(&window_);
  window_.SetChangeListener([this] { Render(); });
  // Key preview: every key of the application passes here first.
  qApp->installEventFilter(this);
  timer1_.setInterval(100);
  connect(&timer1_, &QTimer::timeout, this, [this] {
    window_.Timer1_Timer();
    Render();
  });
  timer1_.start();
}

UpdaterWidget::~UpdaterWidget() {
  qApp->removeEventFilter(this);
  downloader_.SetEvents(nullptr);
  window_.SetChangeListener(nullptr);
}

int UpdaterWidget::Px(int twips) const {
  return static_cast<int>(std::lround(twips * scale_ / kTwipsPerPixelAt96Dpi));
}

QFont UpdaterWidget::FontFor(const FontSpec& spec) const {
  QFont font = QApplication::font();
  QStringList families = FamiliesFor(spec.face);
  if (!families.isEmpty()) font.setFamilies(families);
  if (spec.face != FontFace::kWindowDefault) font.setPointSizeF(spec.points);
  font.setBold(spec.bold);
  font.setUnderline(spec.underline);
  return font;
}

void UpdaterWidget::Build() {
  setWindowTitle(QString::fromUtf8(texts::kWindowCaption));
  setWindowIcon(UpdaterIcon());
  setFixedSize(Px(kClientWidthTwips), Px(kClientHeightTwips));
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);

  std::map<std::string, QWidget*> made;
  for (const ControlSpec& spec : WindowControls()) {
    QWidget* parent = spec.inPanel ? static_cast<QWidget*>(picture1_) : this;
    QWidget* widget = nullptr;
    const QRect rect(Px(spec.rect.left), Px(spec.rect.top), Px(spec.rect.width), Px(spec.rect.height));
    switch (spec.kind) {
      case ControlKind::kTimer:
      case ControlKind::kRichText:
      case ControlKind::kFileList:
        // Never shown: the timer is timer1_, the text holder is the document
        // loader, and the folder listing of the generator is done without a
        // control.
        continue;
      case ControlKind::kPanel: {
        picture1_ = new QFrame(this);
        widget = picture1_;
        break;
      }
      case ControlKind::kButton: {
        auto* button = new QPushButton(QString::fromUtf8(spec.text), parent);
        widget = button;
        std::string name = spec.name;
        if (name == "cmdBegin") {
          cmdBegin_ = button;
          connect(button, &QPushButton::clicked, this, [this] {
            window_.cmdBegin_Click();
            Render();
          });
        } else if (name == "cmdCancel") {
          cmdCancel_ = button;
          connect(button, &QPushButton::clicked, this, [this] {
            window_.cmdCancel_Click();
            Render();
          });
        } else {
          command2_ = button;
          connect(button, &QPushButton::clicked, this, [this] {
            window_.Command2_Click();
            Render();
          });
        }
        break;
      }
      case ControlKind::kLabel: {
        std::string name = spec.name;
        QLabel* label = nullptr;
        if (name == "Label1") {
          auto* link = new ClickableLabel(parent);
          link->setCursor(Qt::PointingHandCursor);
          connect(link, &ClickableLabel::clicked, this, [this] {
            window_.Label1_Click();
            Render();
          });
          label = link;
        } else {
          label = new QLabel(parent);
        }
        label->setText(DisplayText(spec.text));
        label->setFont(FontFor(spec.font));
        label->setAlignment(ToQtAlign(spec.align) | Qt::AlignTop);
        SetTextColor(label, spec.textColor);
        if (name.rfind("Label2(", 0) == 0) label2_.at(static_cast<size_t>(name[7] - '0')) = label;
        if (name == "Label3(4)") statusLine_ = label;
        widget = label;
        break;
      }
      case ControlKind::kListView: {
        listView1_ = new QTreeView(parent);
        table_ = new FileTableModel(window_.state(), listView1_);
        listView1_->setModel(table_);
        listView1_->setRootIsDecorated(false);
        listView1_->setUniformRowHeights(true);
        listView1_->setItemsExpandable(false);
        listView1_->setSelectionMode(QAbstractItemView::SingleSelection);
        listView1_->setSelectionBehavior(QAbstractItemView::SelectRows);
        listView1_->header()->setStretchLastSection(false);
        listView1_->header()->setSectionsMovable(false);
        for (int i = 0; i < 5; ++i)
          listView1_->setColumnWidth(i, Px(FileTableColumns()[static_cast<size_t>(i)].widthTwips));
        widget = listView1_;
        break;
      }
      case ControlKind::kDownloader: {
        dlStrip_ = new QProgressBar(parent);
        dlStrip_->setFont(FontFor(spec.font));
        dlStrip_->setRange(0, 1000);
        dlStrip_->setValue(0);
        dlStrip_->setTextVisible(false);
        widget = dlStrip_;
        break;
      }
      case ControlKind::kLine: {
        auto* line = new QFrame(parent);
        SetBackground(line, spec.textColor.value_or(Rgb{128, 128, 128}));
        line->setGeometry(rect.x(), rect.y(), rect.width(), std::max(1, Px(15)));
        line->setObjectName(spec.name);
        made[spec.name] = line;
        continue;
      }
    }
    widget->setObjectName(spec.name);
    widget->setGeometry(rect);
    if (spec.autoSize) widget->adjustSize();
    made[spec.name] = widget;
  }
  // The window's own order puts the panel after its labels; lift the labels
  // above it now that both exist.
  for (QObject* child : picture1_->children())
    if (auto* w = qobject_cast<QWidget*>(child)) w->raise();
  Render();
}

void UpdaterWidget::Render() {
  const WindowState& s = window_.state();
  // Called after every event, the timer's ticks among them: when the core
  // changed nothing, nothing is touched, so an idle window does no work.
  if (s.revision == drawnRevision_) return;
  drawnRevision_ = s.revision;

  SetBackground(picture1_, s.panelBackground);
  for (size_t i = 0; i < label2_.size(); ++i) {
    QLabel* label = label2_[i];
    const StepLabel& step = s.steps[i];
    label->setFrameStyle(step.border ? (QFrame::Box | QFrame::Plain) : QFrame::NoFrame);
    label->setLineWidth(1);
    SetBackground(label, step.background);
    SetTextColor(label, step.text);
  }
  QString status = DisplayText(s.statusText);
  if (statusLine_->text() != status) {
    statusLine_->setText(status);
    statusLine_->adjustSize();
  }
  SetTextColor(statusLine_, s.statusColor);

  cmdBegin_->setText(Q(s.cmdBegin.caption));
  cmdBegin_->setEnabled(s.cmdBegin.enabled);
  cmdBegin_->setVisible(s.cmdBegin.visible);
  cmdCancel_->setText(Q(s.cmdCancel.caption));
  cmdCancel_->setEnabled(s.cmdCancel.enabled);
  command2_->setEnabled(s.Command2.enabled);
  command2_->setVisible(s.Command2.visible);

  // The release's bytes, whichever transfers bring them.
  if (const int strip = std::max(0, s.downloadPerMille); dlStrip_->value() != strip) dlStrip_->setValue(strip);

  table_->Sync();
  if (s.selectedRow != drawnSelection_) {
    drawnSelection_ = s.selectedRow;
    if (s.selectedRow > 0 && s.selectedRow <= table_->rowCount()) {
      QModelIndex current = table_->index(s.selectedRow - 1, 0);
      listView1_->setCurrentIndex(current);
      listView1_->scrollTo(current);
    }
  }

  if (s.busy) repaint();  // the event loop does not come round before the work is done
  if (s.closeRequested && !closing_) {
    closing_ = true;
    timer1_.stop();
    // After the current event: a close from inside a click handler is fine,
    // but one from inside a downloader event must not pull the widget away
    // under the downloader's feet.
    QTimer::singleShot(0, this, &QWidget::close);
  }
}

void UpdaterWidget::closeEvent(QCloseEvent* event) {
  window_.Closing();
  QWidget::closeEvent(event);
}

bool UpdaterWidget::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* widget = qobject_cast<QWidget*>(watched);
    auto* key = static_cast<QKeyEvent*>(event);
    // An unhandled key travels up to the parents, and the filter sees the
    // same event again on the way: count it once.
    bool repeatOfSame = event == lastKeyEvent_ && key->timestamp() == lastKeyTimestamp_;
    if (widget != nullptr && !repeatOfSame && (widget == this || isAncestorOf(widget))) {
      lastKeyEvent_ = event;
      lastKeyTimestamp_ = key->timestamp();
      window_.Form_KeyDown(static_cast<std::int16_t>(VirtualKeyCode(key->key())),
                           static_cast<std::int16_t>(ShiftState(key->modifiers())));
      Render();
    }
  }
  return false;  // the key goes on to the focused control
}

}  // namespace vmrk
