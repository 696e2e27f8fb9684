#include "ui/ui_style.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStringList>
#include <QWidget>
#include <algorithm>

namespace k730::ui {

QFont DialogFont() {
  QFont font;
  // "굴림" first, so a system that has it shows the intended face. Elsewhere
  // the Latin texts take a face whose full stop and comma differ clearly at
  // 9 points (the Hangul faces' small punctuation blurs into one another),
  // and the Korean texts fall back to a face that has Hangul.
  font.setFamilies(QStringList{
      QString::fromUtf8("굴림"), QStringLiteral("Gulim"), QStringLiteral("Liberation Sans"),
      QStringLiteral("Arial"), QStringLiteral("DejaVu Sans"), QStringLiteral("NanumGothic"),
      QStringLiteral("Noto Sans CJK KR"), QStringLiteral("UnDotum"), QStringLiteral("Sans Serif")});
  font.setPointSize(9);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const QString sample = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  // Rounded as the dialog manager rounds the average of the 52 letters.
  baseX_ = (metrics.horizontalAdvance(sample) / 26 + 1) / 2;
  baseY_ = metrics.height();
  if (baseX_ < 1) baseX_ = 1;
  if (baseY_ < 1) baseY_ = 1;
}

int DialogUnits::X(int units) const {
  return (units * baseX_ + 2) / 4;
}
int DialogUnits::Y(int units) const {
  return (units * baseY_ + 4) / 8;
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

QSize DialogUnits::Size(int width, int height) const {
  return QSize(X(width), Y(height));
}

namespace {

// A handset: a bar phone on the left and a handheld on the right, over a
// download arrow. Drawn in a 64-unit square and scaled to the pixmap.
QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);

  QLinearGradient body(0, 0, 0, 64);
  body.setColorAt(0, QColor(0x3a, 0x6e, 0xa5));
  body.setColorAt(1, QColor(0x1f, 0x3f, 0x66));
  p.setPen(QPen(QColor(0x10, 0x22, 0x38), 1.5));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(6, 6, 22, 46), 4, 4);    // phone
  p.drawRoundedRect(QRectF(32, 10, 26, 42), 4, 4);  // handheld

  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xd8, 0xec, 0xd0));
  p.drawRect(QRectF(9, 11, 16, 14));   // phone screen
  p.drawRect(QRectF(35, 14, 20, 22));  // handheld screen
  p.setBrush(QColor(0xc9, 0xd6, 0xe3));
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) p.drawRect(QRectF(10 + col * 5, 29 + row * 5, 3, 3));
  for (int k = 0; k < 4; ++k) p.drawEllipse(QRectF(36 + k * 5, 41, 3.5, 3.5));

  QPainterPath arrow;
  arrow.moveTo(27, 50);
  arrow.lineTo(37, 50);
  arrow.lineTo(37, 56);
  arrow.lineTo(42, 56);
  arrow.lineTo(32, 63);
  arrow.lineTo(22, 56);
  arrow.lineTo(27, 56);
  arrow.closeSubpath();
  p.setPen(QPen(QColor(0x6b, 0x3a, 0x00), 1));
  p.setBrush(QColor(0xf2, 0xa6, 0x1f));
  p.drawPath(arrow);
  return pixmap;
}

}  // namespace

QIcon AppIcon() {
  // Not cached: a static pixmap would outlive the application object.
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(DrawIcon(size));
  return icon;
}

QString ControlName(int id) {
  return QString::number(id);
}

void SetControlId(QWidget* widget, int id) {
  widget->setObjectName(ControlName(id));
}

}  // namespace k730::ui
