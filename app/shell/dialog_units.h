// Dialog units: the form's coordinates scale with its font. One horizontal
// unit is a quarter of the average character width, one vertical unit an
// eighth of the font height.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QSize>

class DialogUnits {
public:
    explicit DialogUnits(const QFont &font) {
        const QFontMetrics fm(font);
        // Average over the 52 letters, rounded to whole pixels.
        const int letters = fm.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        baseX_ = (letters / 26 + 1) / 2;
        baseY_ = fm.height();
    }
    DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}

    int x(int units) const { return (units * baseX_ + 2) / 4; }
    int y(int units) const { return (units * baseY_ + 4) / 8; }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(QPoint(x(left), y(top)), QPoint(x(left + width) - 1, y(top + height) - 1));
    }
    QSize size(int width, int height) const { return QSize(x(width), y(height)); }

private:
    int baseX_;
    int baseY_;
};
