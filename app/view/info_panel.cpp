#include "view/info_panel.h"

#include <algorithm>

#include <QLabel>
#include <QPainter>

#include "shell/dialog_units.h"

namespace {

struct FieldLayout {
    const char *label;
    int id;
    int x, y, width;  // of the value field; the label starts at x 252
    bool hidden;
};

struct GroupLayout {
    const char *caption;
    int x, y, width, height;
    std::initializer_list<FieldLayout> fields;
};

const GroupLayout kGroups[] = {
    {"Device", 248, 0, 116, 54,
     {{"Name :", field::kDeviceName, 300, 8, 60, false},
      {"CPU Version :", field::kCpuVersion, 300, 16, 60, true},
      {"Firm Version :", field::kFirmVersion, 300, 25, 58, false},
      {"ExtCode :", field::kExtCode, 300, 34, 58, false},
      {"Vendor :", field::kVendor, 300, 43, 60, false}}},
    {"Parameter file", 248, 54, 116, 44,
     {{"Name :", field::kPrmName, 300, 62, 60, false},
      {"Format :", field::kPrmFormat, 300, 70, 59, false},
      {"Version :", field::kPrmVersion, 300, 78, 58, false},
      {"Processor Ver. :", field::kPrmProcessorVersion, 300, 86, 60, false}}},
    {"Load file", 248, 98, 116, 42,
     {{"Name :", field::kLoadName, 282, 106, 76, false},
      {"Date :", field::kLoadDate, 282, 114, 76, false},
      {"Chksum :", field::kLoadChecksum, 284, 122, 76, false},
      {"Area :", field::kLoadArea, 282, 130, 78, false}}},
    {"Connection to device", 248, 140, 116, 52,
     {{"Port :", field::kPort, 282, 150, 78, false},
      {"Speed :", field::kSpeed, 282, 158, 78, false},
      {"Range :", field::kRange, 282, 166, 78, false},
      {"Freq. :", field::kFreq, 282, 174, 78, false},
      {"Multiply :", field::kMultiply, 282, 182, 78, false}}},
};

constexpr int kLabelX = 252;
constexpr int kFieldHeight = 8;

// A group frame with its caption on the top line, the way the form was
// drawn: the frame's line runs through the middle of the caption's height.
class CaptionFrame : public QWidget {
public:
    CaptionFrame(const QString &caption, QWidget *parent) : QWidget(parent), caption_(caption) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        const QFontMetrics fm = fontMetrics();
        const int top = fm.height() / 2;
        // An etched line: a dark rectangle with a light one beside it.
        const QRect box = rect().adjusted(0, top, -2, -2);
        p.setPen(palette().color(QPalette::Mid));
        p.drawRect(box);
        p.setPen(palette().color(QPalette::Light));
        p.drawRect(box.translated(1, 1));
        const int indent = fm.averageCharWidth();
        const QRect text(indent, 0, fm.horizontalAdvance(caption_) + 4, fm.height());
        p.fillRect(text, palette().color(QPalette::Window));
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(text, Qt::AlignCenter, caption_);
    }

private:
    QString caption_;
};

}  // namespace

InfoPanel::InfoPanel(QWidget *form, const DialogUnits &u) {
    for (const GroupLayout &g : kGroups) {
        auto *box = new CaptionFrame(QString::fromLatin1(g.caption), form);
        box->setGeometry(u.rect(g.x, g.y, g.width, g.height));
    }
    // Labels and fields are children of the form, placed in its coordinates,
    // created after the frames so they lie on top of them.
    for (const GroupLayout &g : kGroups) {
        for (const FieldLayout &f : g.fields) {
            auto *label = new QLabel(QString::fromLatin1(f.label), form);
            QRect labelRect = u.rect(kLabelX, f.y, f.x - kLabelX, kFieldHeight);
            QRect valueRect = u.rect(f.x, f.y, f.width, kFieldHeight);
            // Fonts wider than the form was drawn for would cut a label or
            // run it into its value: move the value right of the label, up
            // to the frame's inner edge.
            const int labelWidth = label->fontMetrics().horizontalAdvance(label->text());
            const int innerRight = u.x(g.x + g.width - 2);
            const int gap = u.x(2);
            if (labelWidth + gap > labelRect.width()) {
                labelRect.setWidth(labelWidth);
                valueRect.setLeft(labelRect.right() + 1 + gap);
                valueRect.setRight(std::max(valueRect.right(), innerRight));
            }
            label->setGeometry(labelRect);
            auto *value = new QLabel(form);
            value->setGeometry(valueRect);
            value->setTextFormat(Qt::PlainText);
            // A reader copies a checksum or a name from here.
            value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            value->setObjectName(QStringLiteral("field%1").arg(f.id));
            label->setVisible(!f.hidden);
            value->setVisible(!f.hidden);
            fields_.insert(f.id, value);
        }
    }
}

QString InfoPanel::shown(int id) const {
    const QLabel *label = fields_.value(id);
    return label ? label->text() : QString();
}

void InfoPanel::refresh() {
    for (auto it = fields_.begin(); it != fields_.end(); ++it) {
        const QString text = texts_.value(it.key());
        it.value()->setText(text);
        // The field is narrow; its whole text is one hover away.
        it.value()->setToolTip(text);
    }
}
