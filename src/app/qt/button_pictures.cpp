#include "app/qt/button_pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kavo {
namespace {

QPixmap Canvas() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

}  // namespace

QIcon ExitPicture() {
    QPixmap pixmap = Canvas();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 0, 0), 1.5));
    p.setBrush(QColor(210, 40, 40));
    p.drawEllipse(QRectF(3, 3, 26, 26));
    p.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(11, 11), QPointF(21, 21));
    p.drawLine(QPointF(21, 11), QPointF(11, 21));
    return QIcon(pixmap);
}

QIcon FilePicture() {
    QPixmap pixmap = Canvas();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(140, 100, 0), 1.2));
    p.setBrush(QColor(230, 180, 40));
    QPainterPath back;
    back.moveTo(3, 8);
    back.lineTo(12, 8);
    back.lineTo(15, 11);
    back.lineTo(29, 11);
    back.lineTo(29, 27);
    back.lineTo(3, 27);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(250, 210, 80));
    QPainterPath front;
    front.moveTo(3, 27);
    front.lineTo(7, 15);
    front.lineTo(31, 15);
    front.lineTo(29, 27);
    front.closeSubpath();
    p.drawPath(front);
    return QIcon(pixmap);
}

QIcon SendPicture() {
    QPixmap pixmap = Canvas();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // The terminal: a grey pad with a screen.
    p.setPen(QPen(QColor(60, 60, 60), 1.2));
    p.setBrush(QColor(190, 190, 190));
    p.drawRoundedRect(QRectF(15, 4, 15, 24), 2, 2);
    p.setBrush(QColor(90, 150, 220));
    p.drawRect(QRectF(17.5, 7, 10, 9));
    // The arrow.
    p.setPen(QPen(QColor(0, 90, 0), 1.2));
    p.setBrush(QColor(40, 170, 60));
    QPainterPath arrow;
    arrow.moveTo(2, 13);
    arrow.lineTo(11, 13);
    arrow.lineTo(11, 8);
    arrow.lineTo(19, 17);
    arrow.lineTo(11, 26);
    arrow.lineTo(11, 21);
    arrow.lineTo(2, 21);
    arrow.closeSubpath();
    p.drawPath(arrow);
    return QIcon(pixmap);
}

}  // namespace kavo
