// CSetupSheet: the modal "Device Setup" dialog with its pages Standard and
// Advance, and the DeviceSetupDialog the main view runs it through.
#pragma once

#include <QDialog>

#include "setup/port_choices.h"
#include "view/device_setup.h"

class CSetupPage1;
class CSetupPage2;
class Prompts;
class QTabWidget;

class CSetupSheet : public QDialog {
    Q_OBJECT
public:
    static constexpr int kStandardPage = 0;
    static constexpr int kAdvancePage = 1;

    CSetupSheet(const DeviceSetupValues &values, ParameterRecordSlot &record, Prompts &prompts, PortLister ports,
                QWidget *parent = nullptr);

    // The pages' values; complete once the sheet has closed.
    DeviceSetupValues values() const;

    QTabWidget *tabs() const { return tabs_; }
    CSetupPage1 *standardPage() const { return standard_; }
    CSetupPage2 *advancePage() const { return advance_; }

    void done(int result) override;

private:
    void pageChanged(int index);

    QTabWidget *tabs_ = nullptr;
    CSetupPage1 *standard_ = nullptr;
    CSetupPage2 *advance_ = nullptr;
    int current_ = kStandardPage;
    bool closed_ = false;
};

// Runs a CSetupSheet for the main view's Device Setup command.
class SetupSheetDialog : public DeviceSetupDialog {
public:
    explicit SetupSheetDialog(Prompts &prompts, PortLister ports = LibraryPorts);
    bool run(QWidget *parent, DeviceSetupValues &values, ParameterRecordSlot &record) override;

private:
    Prompts &prompts_;
    PortLister ports_;
};
