#include "ui/appicon.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

// Drawn on the 64 x 64 grid of the scalable icon in data/.
QImage fumidoriIconImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    const QColor dark(0x1f, 0x33, 0x57);
    const QColor red(0xc0, 0x39, 0x2b);

    p.setPen(QPen(dark, 2));
    p.setBrush(QColor(0x3a, 0x5a, 0x8c));
    p.drawRoundedRect(QRectF(14, 6, 26, 52), 5, 5);
    p.setPen(QPen(dark, 1));
    p.setBrush(QColor(0xcf, 0xe8, 0xc8));
    p.drawRoundedRect(QRectF(18, 12, 18, 14), 1.5, 1.5);
    p.setPen(QPen(QColor(0x4d, 0x7a, 0x45), 1.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QLineF(21, 16, 33, 16));
    p.drawLine(QLineF(21, 19, 30, 19));
    p.drawLine(QLineF(21, 22, 32, 22));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe8, 0xee, 0xf7));
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            p.drawEllipse(QPointF(21 + 6 * col, 33 + 7 * row), 2.3, 2.3);
    p.setBrush(dark);
    p.drawRoundedRect(QRectF(25, 2, 4, 6), 1, 1);

    p.save();
    p.translate(48, 20);
    p.rotate(-12);
    p.translate(-48, -20);
    p.setPen(QPen(red, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(0xff, 0xf6, 0xd5));
    p.drawRoundedRect(QRectF(36, 12, 24, 16), 1.5, 1.5);
    p.drawPolyline(QPolygonF({QPointF(37, 13), QPointF(48, 21), QPointF(59, 13)}));
    p.restore();

    p.setPen(QPen(red, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    for (const QPointF start : {QPointF(40, 34), QPointF(43, 39)}) {
        QPainterPath wave(start);
        wave.quadTo(start + QPointF(4, -3), start + QPointF(8, 0));
        p.drawPath(wave);
    }
    p.end();
    return image;
}

QIcon fumidoriIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(QPixmap::fromImage(fumidoriIconImage(size)));
    return icon;
}
