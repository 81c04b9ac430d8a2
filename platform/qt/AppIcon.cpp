#include "platform/qt/AppIcon.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quorvel::qt {

namespace {

// Draws the icon at `size` pixels from a 48-unit design.
QImage DrawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 48.0, size / 48.0);

    // The sheet, with its top-right corner folded over.
    QPainterPath sheet;
    sheet.moveTo(7, 3);
    sheet.lineTo(29, 3);
    sheet.lineTo(39, 13);
    sheet.lineTo(39, 45);
    sheet.lineTo(7, 45);
    sheet.closeSubpath();
    p.setPen(QPen(QColor(38, 56, 86), size < 24 ? 3.0 : 2.0));
    p.setBrush(QColor(250, 250, 244));
    p.drawPath(sheet);

    QPainterPath fold;
    fold.moveTo(29, 3);
    fold.lineTo(29, 13);
    fold.lineTo(39, 13);
    fold.closeSubpath();
    p.setBrush(QColor(200, 206, 216));
    p.drawPath(fold);

    // Lines of content; too fine to read at 16 pixels, so left out there.
    if (size >= 24) {
        p.setPen(QPen(QColor(140, 152, 170), 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(12, 20), QPointF(33, 20));
        p.drawLine(QPointF(12, 26), QPointF(30, 26));
        p.drawLine(QPointF(12, 32), QPointF(22, 32));
    }

    // The badge: a repaired file.
    p.setPen(QPen(Qt::white, 2.0));
    p.setBrush(QColor(28, 138, 84));
    p.drawEllipse(QPointF(34, 35), 11.5, 11.5);
    QPainterPath check;
    check.moveTo(28, 35.5);
    check.lineTo(32.5, 40);
    check.lineTo(40, 30.5);
    p.setPen(QPen(Qt::white, size < 24 ? 4.5 : 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(check);
    return image;
}

}  // namespace

QIcon MakeAppIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48}) icon.addPixmap(QPixmap::fromImage(DrawIcon(size)));
    return icon;
}

}  // namespace quorvel::qt
