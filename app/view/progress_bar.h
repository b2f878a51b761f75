// ProgressBar: the view's own painted bar (button-face background, a
// highlight-coloured bar from the left edge, sunken frame).
#pragma once

#include <QFrame>

class ProgressBar : public QFrame {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget *parent = nullptr);

    void setRange(int lower, int upper);
    // Returns the previous position.
    int setPosition(int value);

    int lower() const { return lower_; }
    int upper() const { return upper_; }
    int position() const { return position_; }

    // Width of the filled part for a client area `clientWidth` wide:
    // (position - lower) / (upper - lower) x width, truncated towards zero
    // and kept inside the client area. Equal bounds give 0.
    static int barWidth(int position, int lower, int upper, int clientWidth);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int lower_ = 0;
    int upper_ = 10;
    int position_ = 0;
};
