// SPDX-License-Identifier: GPL-3.0-or-later
// Draws Wirequill's bitmap images into a directory:
//   draw_images <output-dir>
// Only QImage and QPainter are used, so no display or QGuiApplication is needed.
// The application icon's geometry is mirrored by hand in images/wirequill.svg.

#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <cstdio>

namespace {

QImage blankImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

bool save(const QImage& image, const QString& dir, const char* name) {
  const QString path = dir + '/' + name;
  if (!image.save(path, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("wrote %s\n", qPrintable(path));
  return true;
}

// The globe ends up 8x8 points in table rows, so it has few, thick lines.
QImage drawGlobe() {
  QImage image = blankImage(32);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  const QPointF c(16, 16);
  const qreal r = 14;
  QRadialGradient sea(QPointF(12, 11), 18);
  sea.setColorAt(0, QColor(0x6c, 0xb4, 0xf5));
  sea.setColorAt(1, QColor(0x17, 0x5c, 0xc4));
  p.setPen(Qt::NoPen);
  p.setBrush(sea);
  p.drawEllipse(c, r, r);

  // The grid is clipped to the disc so the parallels end on its edge.
  QPainterPath disc;
  disc.addEllipse(c, r, r);
  p.setClipPath(disc);
  p.setPen(QPen(QColor(255, 255, 255, 225), 2.0));
  p.setBrush(Qt::NoBrush);
  p.drawLine(QPointF(c.x(), 0), QPointF(c.x(), 32));  // central meridian
  p.drawEllipse(c, r * 0.5, r);                       // side meridians
  p.drawLine(QPointF(0, c.y()), QPointF(32, c.y()));  // equator
  p.drawLine(QPointF(0, c.y() - 7.5), QPointF(32, c.y() - 7.5));
  p.drawLine(QPointF(0, c.y() + 7.5), QPointF(32, c.y() + 7.5));
  p.setClipping(false);

  p.setPen(QPen(QColor(0x0b, 0x35, 0x7a), 2.0));
  p.drawEllipse(c, r, r);
  return image;
}

// A round lamp: lit from the centre, dark rim, glassy highlight near the top.
QImage drawLamp(QColor lit, QColor dark) {
  QImage image = blankImage(24);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  const QPointF c(12, 12);
  QRadialGradient glow(QPointF(12, 13), 11);
  glow.setColorAt(0, lit.lighter(125));
  glow.setColorAt(0.6, lit);
  glow.setColorAt(1, dark);
  p.setPen(QPen(dark.darker(160), 1.2));
  p.setBrush(glow);
  p.drawEllipse(c, 10.4, 10.4);

  QLinearGradient shine(QPointF(12, 3), QPointF(12, 12));
  shine.setColorAt(0, QColor(255, 255, 255, 210));
  shine.setColorAt(1, QColor(255, 255, 255, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(shine);
  p.drawEllipse(QRectF(6, 3.2, 12, 8));
  return image;
}

// The feather in its own frame: nib at the origin, pointing down, vane along -y.
void drawQuill(QPainter& p) {
  QPainterPath vane;
  vane.moveTo(0, -12);
  vane.cubicTo(-14, -26, -17, -60, 2, -82);
  vane.cubicTo(12, -62, 12, -28, 0, -12);
  QLinearGradient cream(QPointF(-14, 0), QPointF(12, 0));
  cream.setColorAt(0, QColor(0xff, 0xfb, 0xf0));
  cream.setColorAt(1, QColor(0xd9, 0xe2, 0xec));
  p.setPen(QPen(QColor(0x8a, 0x9b, 0xae), 1.2));
  p.setBrush(cream);
  p.drawPath(vane);

  // Barbs and shaft in a quiet grey so the vane reads as a feather.
  p.setPen(QPen(QColor(0x9d, 0xab, 0xbb), 1.3, Qt::SolidLine, Qt::RoundCap));
  for (qreal y : {-30.0, -42.0, -54.0, -66.0}) {
    p.drawLine(QPointF(0, y), QPointF(-9, y - 9));
  }
  for (qreal y : {-36.0, -50.0, -64.0}) {
    p.drawLine(QPointF(0.5, y), QPointF(7, y - 8));
  }
  p.setPen(QPen(QColor(0x7d, 0x8c, 0x9e), 1.8, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(0, -8), QPointF(0.8, -76));

  QPainterPath nib;
  nib.moveTo(0, 0);
  nib.lineTo(-3.5, -12);
  nib.lineTo(3.5, -12);
  nib.closeSubpath();
  p.setPen(QPen(QColor(0x8a, 0x63, 0x1c), 1.0));
  p.setBrush(QColor(0xe6, 0xb4, 0x4c));
  p.drawPath(nib);
  p.drawLine(QPointF(0, -2), QPointF(0, -9));  // slit
}

// Application icon: a quill writing a traffic wave on a dark tile.
QImage drawAppIcon() {
  QImage image = blankImage(128);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  QLinearGradient tile(QPointF(0, 8), QPointF(0, 120));
  tile.setColorAt(0, QColor(0x1f, 0x3b, 0x5c));
  tile.setColorAt(1, QColor(0x0c, 0x1b, 0x2e));
  p.setPen(QPen(QColor(0x3a, 0x5f, 0x88), 2));
  p.setBrush(tile);
  p.drawRoundedRect(QRectF(8, 8, 112, 112), 24, 24);

  // The wave the nib has just written, growing towards the pen.
  QPainterPath wave;
  wave.moveTo(18, 87);
  wave.cubicTo(23, 87, 24.7, 81, 28, 81);
  wave.cubicTo(31.3, 81, 33, 93, 37.2, 93);
  wave.cubicTo(41.3, 93, 43, 73, 48, 73);
  wave.cubicTo(53, 73, 53.8, 90, 58, 90);
  p.setPen(QPen(QColor(0x4c, 0xd3, 0xf0), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(wave);

  p.translate(58, 90);
  p.rotate(35);
  drawQuill(p);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output-dir>\n", argv[0]);
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  bool ok = save(drawGlobe(), dir, "WQMGlobe.png");
  ok &=
      save(drawLamp(QColor(0xf2, 0x3b, 0x30), QColor(0x8e, 0x12, 0x0c)), dir, "WQMBoxStatus1.png");
  ok &=
      save(drawLamp(QColor(0x3c, 0xd0, 0x4a), QColor(0x14, 0x74, 0x1d)), dir, "WQMBoxStatus2.png");
  ok &=
      save(drawLamp(QColor(0xff, 0xb3, 0x1f), QColor(0xa8, 0x62, 0x00)), dir, "WQMBoxStatus3.png");
  ok &= save(drawAppIcon(), dir, "wirequill.png");
  return ok ? 0 : 1;
}
