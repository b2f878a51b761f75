// The information panel: four captioned groups of labels and value fields
// to the right of the log box. Value fields are addressed by their ids.
#pragma once

#include <QHash>
#include <QString>

class QLabel;
class QWidget;
class DialogUnits;

namespace field {
// Device
inline constexpr int kDeviceName = 503, kCpuVersion = 504, kFirmVersion = 513, kExtCode = 514, kVendor = 519;
// Parameter file
inline constexpr int kPrmName = 509, kPrmFormat = 520, kPrmVersion = 510, kPrmProcessorVersion = 512;
// Load file
inline constexpr int kLoadName = 507, kLoadDate = 506, kLoadChecksum = 505, kLoadArea = 511;
// Connection to device
inline constexpr int kPort = 508, kSpeed = 515, kRange = 518, kFreq = 516, kMultiply = 517;
}  // namespace field

class InfoPanel {
public:
    // Builds the groups as children of `form`, placed in dialog units.
    InfoPanel(QWidget *form, const DialogUnits &units);

    // The view's text for a field; shown once refresh() runs.
    void setText(int id, const QString &text) { texts_[id] = text; }
    // What the field shows now.
    QString shown(int id) const;
    // Puts every text into its field.
    void refresh();

private:
    QHash<int, QLabel *> fields_;
    QHash<int, QString> texts_;
};
