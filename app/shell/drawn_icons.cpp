#include "shell/drawn_icons.h"

#include <cmath>
#include <functional>
#include <iterator>

#include <QPainter>
#include <QPainterPath>

namespace icons {
namespace {

constexpr int kSize = 32;

QIcon Drawn(const std::function<void(QPainter &)> &draw) {
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    return QIcon(pixmap);
}

// A chip: a dark body with pins on both long sides.
void Chip(QPainter &p, const QRectF &body) {
    p.setPen(QPen(QColor(90, 90, 90), 1.5));
    const int pins = 4;
    for (int i = 0; i < pins; ++i) {
        const double y = body.top() + body.height() * (i + 0.5) / pins;
        p.drawLine(QPointF(body.left() - 3, y), QPointF(body.left(), y));
        p.drawLine(QPointF(body.right(), y), QPointF(body.right() + 3, y));
    }
    p.setPen(QPen(QColor(30, 30, 30), 1));
    p.setBrush(QColor(55, 60, 70));
    p.drawRoundedRect(body, 2, 2);
    p.setBrush(QColor(150, 150, 150));
    p.drawEllipse(QPointF(body.left() + 4, body.top() + 4), 1.5, 1.5);
}

void Arrow(QPainter &p, QPointF from, QPointF to, const QColor &color) {
    p.setPen(QPen(color, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(from, to);
    const QPointF d = (to - from) / std::hypot(to.x() - from.x(), to.y() - from.y());
    const QPointF n(-d.y(), d.x());
    QPainterPath head;
    head.moveTo(to + d * 4);
    head.lineTo(to - d * 3 + n * 5);
    head.lineTo(to - d * 3 - n * 5);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPath(head);
}

}  // namespace

QIcon load() {
    return Drawn([](QPainter &p) {
        p.setPen(QPen(QColor(150, 110, 20), 1.5));
        p.setBrush(QColor(240, 200, 80));
        QPainterPath folder;
        folder.moveTo(3, 9);
        folder.lineTo(12, 9);
        folder.lineTo(15, 12);
        folder.lineTo(29, 12);
        folder.lineTo(29, 27);
        folder.lineTo(3, 27);
        folder.closeSubpath();
        p.drawPath(folder);
        p.setBrush(QColor(255, 225, 120));
        p.drawRect(QRectF(3, 15, 26, 12));
        Arrow(p, QPointF(21, 2), QPointF(21, 14), QColor(30, 110, 200));
    });
}

QIcon blankCheck() {
    return Drawn([](QPainter &p) {
        Chip(p, QRectF(5, 4, 16, 22));
        p.setPen(QPen(QColor(40, 40, 40), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(24, 24), QPointF(30, 30));
        p.setPen(QPen(QColor(40, 40, 40), 2));
        p.setBrush(QColor(220, 240, 255, 220));
        p.drawEllipse(QPointF(20, 20), 6, 6);
    });
}

QIcon erase() {
    return Drawn([](QPainter &p) {
        p.translate(16, 16);
        p.rotate(-35);
        p.setPen(QPen(QColor(120, 60, 70), 1.5));
        p.setBrush(QColor(240, 140, 160));
        p.drawRoundedRect(QRectF(-12, -6, 14, 12), 2, 2);
        p.setBrush(QColor(90, 140, 220));
        p.drawRoundedRect(QRectF(2, -6, 11, 12), 2, 2);
        p.resetTransform();
        p.setPen(QPen(QColor(150, 150, 150), 1.5, Qt::DashLine));
        p.drawLine(QPointF(3, 29), QPointF(20, 29));
    });
}

QIcon program() {
    return Drawn([](QPainter &p) {
        Chip(p, QRectF(9, 12, 14, 18));
        Arrow(p, QPointF(16, 1), QPointF(16, 11), QColor(200, 60, 40));
    });
}

QIcon verify() {
    return Drawn([](QPainter &p) {
        Chip(p, QRectF(5, 6, 14, 20));
        p.setPen(QPen(QColor(30, 150, 60), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(16, 20), QPointF(21, 26), QPointF(30, 12)}));
    });
}

QIcon autoprocedure() {
    return Drawn([](QPainter &p) {
        p.setPen(QPen(QColor(40, 120, 200), 3.5, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(5, 5, 22, 22), 100 * 16, 280 * 16);
        Arrow(p, QPointF(12, 6.5), QPointF(15, 5.5), QColor(40, 120, 200));
        QFont f = p.font();
        f.setBold(true);
        f.setPixelSize(9);
        p.setFont(f);
        p.setPen(QColor(30, 30, 30));
        p.drawText(QRectF(5, 5, 22, 22), Qt::AlignCenter, QStringLiteral("EPV"));
    });
}

QIcon setup() {
    return Drawn([](QPainter &p) {
        p.setPen(QPen(QColor(80, 80, 80), 1.5));
        p.setBrush(QColor(170, 170, 180));
        for (int i = 0; i < 8; ++i) {
            p.save();
            p.translate(16, 16);
            p.rotate(i * 45);
            p.drawRect(QRectF(-3, -14, 6, 6));
            p.restore();
        }
        p.drawEllipse(QPointF(16, 16), 10, 10);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(16, 16), 4, 4);
    });
}

QIcon stop() {
    return Drawn([](QPainter &p) {
        p.setPen(QPen(QColor(120, 20, 20), 1.5));
        p.setBrush(QColor(200, 40, 40));
        p.drawRoundedRect(QRectF(7, 7, 18, 18), 3, 3);
    });
}

QIcon program_icon() {
    return Drawn([](QPainter &p) {
        Chip(p, QRectF(6, 4, 20, 24));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 200, 40));
        p.drawPolygon(QPolygonF({QPointF(18, 7), QPointF(11, 17), QPointF(16, 17), QPointF(13, 26), QPointF(21, 14),
                                 QPointF(16, 14)}));
    });
}

QPixmap aboutBanner(int width, int height) {
    QPixmap pixmap(width, height);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, width, 0);
    sky.setColorAt(0, QColor(20, 50, 110));
    sky.setColorAt(1, QColor(60, 140, 200));
    p.fillRect(pixmap.rect(), sky);
    // A serial waveform across the picture.
    p.setPen(QPen(QColor(255, 220, 90), 2));
    const int bits[] = {1, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1};
    const int n = static_cast<int>(std::size(bits));
    const double step = static_cast<double>(width - 16) / n;
    const double high = height * 0.3, low = height * 0.7;
    QPainterPath wave;
    wave.moveTo(8, low);
    for (int i = 0; i < n; ++i) {
        const double y = bits[i] ? high : low;
        wave.lineTo(8 + i * step, y);
        wave.lineTo(8 + (i + 1) * step, y);
    }
    p.drawPath(wave);
    return pixmap;
}

}  // namespace icons
