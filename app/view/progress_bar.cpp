#include "view/progress_bar.h"

#include <QPainter>

ProgressBar::ProgressBar(QWidget *parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
}

void ProgressBar::setRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
    update();
}

int ProgressBar::setPosition(int value) {
    const int previous = position_;
    position_ = value;
    update();
    return previous;
}

int ProgressBar::barWidth(int position, int lower, int upper, int clientWidth) {
    if (upper == lower || clientWidth <= 0) return 0;
    const double fraction = (static_cast<double>(position) - lower) / (static_cast<double>(upper) - lower);
    const double width = fraction * clientWidth;
    if (!(width > 0.0)) return 0;
    if (width >= clientWidth) return clientWidth;
    return static_cast<int>(width);
}

void ProgressBar::paintEvent(QPaintEvent *event) {
    {
        QPainter painter(this);
        const QRect client = contentsRect();
        painter.fillRect(client, palette().color(QPalette::Button));
        const int width = barWidth(position_, lower_, upper_, client.width());
        if (width > 0)
            painter.fillRect(QRect(client.left(), client.top(), width, client.height()),
                             palette().color(QPalette::Highlight));
    }
    QFrame::paintEvent(event);  // the sunken frame on top
}
