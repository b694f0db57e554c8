#include "ui/pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

namespace pictures
{

namespace
{
QPixmap canvas(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

QIcon arrow(bool up)
{
    QPixmap pixmap = canvas(16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 128));
    const QPolygonF head = up ? QPolygonF({{8, 2}, {14, 9}, {2, 9}}) : QPolygonF({{8, 14}, {14, 7}, {2, 7}});
    p.drawPolygon(head);
    p.drawRect(up ? QRectF(5.5, 9, 5, 5) : QRectF(5.5, 2, 5, 5));
    return QIcon(pixmap);
}
} // namespace

QIcon moveUp()
{
    return arrow(true);
}

QIcon moveDown()
{
    return arrow(false);
}

QIcon remove()
{
    QPixmap pixmap = canvas(16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(192, 0, 0), 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
    p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
    return QIcon(pixmap);
}

} // namespace pictures
