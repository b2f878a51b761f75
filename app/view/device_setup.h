// What the view hands to the Device Setup dialog and takes back from it:
// plain values in, plain values out. The dialog itself lives elsewhere and is
// plugged into the view with CFLPRRView::setDeviceSetupDialog.
#pragma once

#include <QString>
#include <QStringList>

#include "quillctl.h"

struct StandardPageValues {
    int visiblePower = 0;   // show the power check box
    int enableAllCom = 0;   // port list policy
    QString prmPath;        // in: search path or current file; out: the file chosen
    QStringList prmFolders; // in: the folders whose parameter files the list shows too
    int port = -1;          // zero-based COM number
    int prmListIndex = -1;  // 0 when the last setup was accepted, -1 when rejected
    QString portName;
    QString portDetail;
    int speedIndex = -1;
    QString freq;
    QString multiply;
    int supValue = -1;
    int autoMode = 0;
    int showStart = -1;
    int showEnd = -1;
    int showAddr = 0;
    int selectProg = 0;
    QString selStart;
    QString selEnd;
    int powerMessage = 0;
};

struct AdvancePageValues {
    int visiblePower = 0;
    int securityEnabled = 0;
    int commandOptions = 0;
    int optBlk = 0, optVeri = 0, optSec = 0, optSum = 0;
    int secProgBlock = 0, secEraseBlock = 0, secChipErase = 0;
    QString optionText1;  // beside "Disable Block Erase"
    QString optionText2;  // beside "Disable Program"
    int powerMessage = 0;
};

struct DeviceSetupValues {
    StandardPageValues standard;
    AdvancePageValues advance;
};

// The current parameter record, which the Standard page may replace by
// reading another parameter file.
class ParameterRecordSlot {
public:
    virtual ~ParameterRecordSlot() = default;
    virtual DeviceParameters *current() const = 0;
    // Takes ownership of `record` (from PRRReadPRM) and frees the previous one.
    virtual void replace(DeviceParameters *record) = 0;
};

class DeviceSetupDialog {
public:
    virtual ~DeviceSetupDialog() = default;
    // Shows the dialog modally; true for OK, false for Cancel.
    virtual bool run(QWidget *parent, DeviceSetupValues &values, ParameterRecordSlot &record) = 0;
};
