// CSetupPage1: the "Standard" page of Device Setup. The COM port and speed,
// the parameter file, the supply oscillator and the operation range.
#pragma once

#include <QList>
#include <QWidget>

#include "setup/port_choices.h"
#include "view/device_setup.h"

class CSetupPage2;
class Prompts;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class CSetupPage1 : public QWidget {
    Q_OBJECT
public:
    CSetupPage1(const StandardPageValues &values, ParameterRecordSlot &record, Prompts &prompts, PortLister ports,
                QWidget *parent = nullptr);

    void setAdvancePage(CSetupPage2 *page) { advance_ = page; }

    // The page comes up: controls filled, port and file lists built, the
    // rules of the loaded parameter record applied.
    void open();
    // Controls into the page values (leaving the page, OK).
    void readControls();
    // The sheet closes, by either button: the port is the list's selection.
    void takePort();
    // The Advance page's power box was clicked.
    void setPowerMessage(int checked);

    const StandardPageValues &values() const { return v_; }

private:
    void buildControls();
    void putControls();
    void fillPortList();
    void fillParameterFileList();
    void fillBlockLists();
    void setRange(int range);
    int checkedRange() const;
    void enableRangeButtons(unsigned rangeSet5);
    void applyRangeRule(int range);
    void applyAuto();

    void onPrmFileRead();
    void readParameterFile(const QString &path);
    void onShowAddress(bool checked);

    StandardPageValues v_;
    ParameterRecordSlot &record_;
    Prompts &prompts_;
    PortLister ports_;
    QList<PortChoice> portChoices_;
    CSetupPage2 *advance_ = nullptr;

    QLabel *prmName_ = nullptr;
    QComboBox *prmList_ = nullptr;
    QPushButton *folder_ = nullptr;
    QPushButton *prmRead_ = nullptr;
    QComboBox *portList_ = nullptr;
    QComboBox *speedList_ = nullptr;
    QLineEdit *freq_ = nullptr;
    QLineEdit *multiply_ = nullptr;
    QButtonGroup *range_ = nullptr;
    QRadioButton *rangeButtons_[3] = {};
    QComboBox *startList_ = nullptr;
    QComboBox *endList_ = nullptr;
    QCheckBox *showAddress_ = nullptr;
    QCheckBox *selectProg_ = nullptr;
    QLineEdit *selStart_ = nullptr;
    QLineEdit *selEnd_ = nullptr;
    QCheckBox *auto_ = nullptr;
    QCheckBox *power_ = nullptr;
};
