// CSetupPage2: the "Advance" page of Device Setup. What runs before an erase
// and after a program, and the security flags the Security command writes.
#pragma once

#include <QWidget>

#include "view/device_setup.h"

class CSetupPage1;
class Prompts;
class QCheckBox;
class QLineEdit;

class CSetupPage2 : public QWidget {
    Q_OBJECT
public:
    CSetupPage2(const AdvancePageValues &values, ParameterRecordSlot &record, Prompts &prompts,
                QWidget *parent = nullptr);

    void setStandardPage(CSetupPage1 *page) { standard_ = page; }

    // The page is created the first time it is shown; until then its
    // controls mean nothing and its values are all there is.
    bool created() const { return created_; }
    void open();
    // Every time the page becomes visible, after open() the first time.
    void activate();
    // Controls into the page values (leaving the page, OK).
    void readControls();

    // The Standard page has read a parameter file: at once, then once the
    // Standard page's own values are set.
    void parameterFileRead(const DeviceParameters &record);
    void parameterFileApplied(const DeviceParameters &record);
    // The Standard page's power box was clicked.
    void setPowerMessage(int checked);

    const AdvancePageValues &values() const { return v_; }

private:
    void buildControls();
    void putControls();
    void securityRules();
    void setFileDefaults(const DeviceParameters &record, bool withTexts);
    void onChipErase(bool checked);

    AdvancePageValues v_;
    ParameterRecordSlot &record_;
    Prompts &prompts_;
    CSetupPage1 *standard_ = nullptr;
    bool created_ = false;
    bool refreshPending_ = false;

    QCheckBox *blankCheck_ = nullptr;
    QCheckBox *readVerify_ = nullptr;
    QCheckBox *securityAfter_ = nullptr;
    QCheckBox *checksum_ = nullptr;
    QCheckBox *chipErase_ = nullptr;
    QCheckBox *blockErase_ = nullptr;
    QCheckBox *program_ = nullptr;
    QLineEdit *text1_ = nullptr;
    QLineEdit *text2_ = nullptr;
    QCheckBox *power_ = nullptr;
};
