#include "setup/setup_sheet.h"

#include <QDialogButtonBox>
#include <QLayout>
#include <QTabWidget>
#include <QVBoxLayout>

#include "setup/setup_page1.h"
#include "setup/setup_page2.h"
#include "shell/drawn_icons.h"

CSetupSheet::CSetupSheet(const DeviceSetupValues &values, ParameterRecordSlot &record, Prompts &prompts,
                         PortLister ports, QWidget *parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Device Setup"));
    setWindowIcon(icons::program_icon());
    setModal(true);

    standard_ = new CSetupPage1(values.standard, record, prompts, std::move(ports));
    advance_ = new CSetupPage2(values.advance, record, prompts);
    standard_->setAdvancePage(advance_);
    advance_->setStandardPage(standard_);
    tabs_ = new QTabWidget(this);
    tabs_->addTab(standard_, QStringLiteral("Standard"));
    tabs_->addTab(advance_, QStringLiteral("Advance"));

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // The Standard page is the one shown first; the Advance page comes up
    // when its tab is first chosen.
    standard_->open();
    connect(tabs_, &QTabWidget::currentChanged, this, &CSetupSheet::pageChanged);
}

void CSetupSheet::pageChanged(int index) {
    // The page left keeps what its controls show.
    if (current_ == kStandardPage)
        standard_->readControls();
    else if (advance_->created())
        advance_->readControls();
    current_ = index;
    if (index == kAdvancePage) {
        if (!advance_->created()) advance_->open();
        advance_->activate();
    }
}

void CSetupSheet::done(int result) {
    if (!closed_) {
        closed_ = true;
        // Only the page on show is read: the other one was read when it was
        // left, and may have taken parameter-file defaults since.
        if (result == QDialog::Accepted) {
            if (current_ == kStandardPage)
                standard_->readControls();
            else
                advance_->readControls();
        }
        standard_->takePort();
    }
    QDialog::done(result);
}

DeviceSetupValues CSetupSheet::values() const { return {standard_->values(), advance_->values()}; }

SetupSheetDialog::SetupSheetDialog(Prompts &prompts, PortLister ports) : prompts_(prompts), ports_(std::move(ports)) {}

bool SetupSheetDialog::run(QWidget *parent, DeviceSetupValues &values, ParameterRecordSlot &record) {
    CSetupSheet sheet(values, record, prompts_, ports_, parent);
    const bool ok = sheet.exec() == QDialog::Accepted;
    values = sheet.values();
    return ok;
}
