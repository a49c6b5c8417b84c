#include "app/qt/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace vmrk {
namespace {

// A green disc (the step panel's colour family) carrying a white arrow that
// points down into a tray: "fetch and install".
QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing, size > 16);
  const qreal s = size;
  painter.setPen(QPen(QColor(0, 110, 0), s / 16.0));
  painter.setBrush(QColor(0, 170, 60));
  painter.drawEllipse(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92));

  QPainterPath arrow;
  arrow.moveTo(s * 0.42, s * 0.20);
  arrow.lineTo(s * 0.58, s * 0.20);
  arrow.lineTo(s * 0.58, s * 0.48);
  arrow.lineTo(s * 0.72, s * 0.48);
  arrow.lineTo(s * 0.50, s * 0.70);
  arrow.lineTo(s * 0.28, s * 0.48);
  arrow.lineTo(s * 0.42, s * 0.48);
  arrow.closeSubpath();
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::white);
  painter.drawPath(arrow);
  painter.fillRect(QRectF(s * 0.26, s * 0.74, s * 0.48, s * 0.08), Qt::white);
  return pixmap;
}

}  // namespace

QIcon UpdaterIcon() {
  QIcon icon;
  for (int size : {16, 32, 48}) icon.addPixmap(DrawIcon(size));
  return icon;
}

}  // namespace vmrk
