// The program icon, drawn at the sizes the desktop asks for.
#include "ui/program_icon.h"

#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>
#include <algorithm>

namespace ui {

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 64, 128}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // A shield (the filter) with an envelope held behind a bar.
    QPainterPath shield;
    double s = size;
    shield.moveTo(s * 0.5, s * 0.04);
    shield.lineTo(s * 0.92, s * 0.18);
    shield.cubicTo(s * 0.92, s * 0.62, s * 0.72, s * 0.86, s * 0.5, s * 0.97);
    shield.cubicTo(s * 0.28, s * 0.86, s * 0.08, s * 0.62, s * 0.08, s * 0.18);
    shield.closeSubpath();
    p.fillPath(shield, QColor(0x1f, 0x5f, 0x8b));
    QRectF envelope(s * 0.24, s * 0.32, s * 0.52, s * 0.34);
    p.fillRect(envelope, Qt::white);
    p.setPen(QPen(QColor(0x1f, 0x5f, 0x8b), std::max(1.0, s / 24)));
    p.drawLine(envelope.topLeft(), QPointF(s * 0.5, s * 0.5));
    p.drawLine(envelope.topRight(), QPointF(s * 0.5, s * 0.5));
    p.setPen(QPen(QColor(0xe0, 0x4a, 0x3a), std::max(1.5, s / 10),
                  Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(s * 0.2, s * 0.76), QPointF(s * 0.8, s * 0.22));
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace ui
