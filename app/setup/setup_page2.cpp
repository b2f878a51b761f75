#include "setup/setup_page2.h"

#include <cstring>

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>

#include "setup/setup_page1.h"
#include "shell/prompts.h"

namespace {

int Checked(const QCheckBox *box) { return box->isChecked() ? 1 : 0; }

int Bit(unsigned value, int bit) { return (value >> bit) & 1u; }

// The record's texts are fixed-size fields.
QString FieldText(const char *field, size_t size) {
    return QString::fromLocal8Bit(field, static_cast<qsizetype>(::strnlen(field, size)));
}

}  // namespace

CSetupPage2::CSetupPage2(const AdvancePageValues &values, ParameterRecordSlot &record, Prompts &prompts,
                         QWidget *parent)
    : QWidget(parent), v_(values), record_(record), prompts_(prompts) {
    buildControls();
}

void CSetupPage2::buildControls() {
    auto box = [](const char *text, const char *name, QWidget *parent) {
        auto *b = new QCheckBox(QLatin1String(text), parent);
        b->setObjectName(QLatin1String(name));
        return b;
    };

    auto *options = new QGroupBox(QStringLiteral("Command options"), this);
    blankCheck_ = box("Blank check before Erase", "blankCheck", options);
    readVerify_ = box("Read verify after Program", "readVerify", options);
    securityAfter_ = box("Security flag after Program", "securityAfter", options);
    checksum_ = box("Checksum after Program", "checksum", options);
    auto *optionsLayout = new QVBoxLayout(options);
    for (QCheckBox *b : {blankCheck_, readVerify_, securityAfter_, checksum_}) optionsLayout->addWidget(b);

    auto *security = new QGroupBox(QStringLiteral("Security flag settings"), this);
    chipErase_ = box("Disable Chip Erase", "chipErase", security);
    blockErase_ = box("Disable Block Erase", "blockErase", security);
    program_ = box("Disable Program", "program", security);
    text1_ = new QLineEdit(security);
    text2_ = new QLineEdit(security);
    text1_->setObjectName(QStringLiteral("optionText1"));
    text2_->setObjectName(QStringLiteral("optionText2"));
    auto *securityGrid = new QGridLayout(security);
    securityGrid->addWidget(chipErase_, 0, 0);
    securityGrid->addWidget(blockErase_, 1, 0);
    securityGrid->addWidget(text1_, 1, 1);
    securityGrid->addWidget(program_, 2, 0);
    securityGrid->addWidget(text2_, 2, 1);
    securityGrid->setColumnStretch(1, 1);

    power_ = box("Turn off -> on Target power", "power", this);

    auto *page = new QVBoxLayout(this);
    page->addWidget(options);
    page->addWidget(security);
    page->addWidget(power_);
    page->addStretch();

    for (QWidget *w : std::initializer_list<QWidget *>{readVerify_, securityAfter_, text1_, text2_})
        w->setEnabled(false);

    connect(chipErase_, &QCheckBox::clicked, this, &CSetupPage2::onChipErase);
    connect(blockErase_, &QCheckBox::clicked, text1_, &QWidget::setEnabled);
    connect(program_, &QCheckBox::clicked, text2_, &QWidget::setEnabled);
    connect(power_, &QCheckBox::clicked, this, [this](bool checked) {
        v_.powerMessage = checked ? 1 : 0;
        if (standard_) standard_->setPowerMessage(v_.powerMessage);
    });
}

void CSetupPage2::open() {
    created_ = true;
    putControls();
    power_->setVisible(v_.visiblePower == 1);
    blankCheck_->setEnabled(true);
    readVerify_->setEnabled(false);
    securityRules();
    // A security box the rules left unchecked counts as 0 from now on.
    readControls();
}

void CSetupPage2::activate() {
    if (!refreshPending_) return;
    refreshPending_ = false;
    // The record may have gone again since (a later file failed its check).
    if (const DeviceParameters *rec = record_.current()) setFileDefaults(*rec, true);
    blankCheck_->setEnabled(true);
    checksum_->setEnabled(true);
    readVerify_->setEnabled(false);
    blankCheck_->setChecked(v_.optBlk == 1);
    checksum_->setChecked(v_.optSum == 1);
    readVerify_->setChecked(false);
    securityRules();
}

void CSetupPage2::putControls() {
    blankCheck_->setChecked(v_.optBlk != 0);
    readVerify_->setChecked(v_.optVeri != 0);
    securityAfter_->setChecked(v_.optSec != 0);
    checksum_->setChecked(v_.optSum != 0);
    chipErase_->setChecked(v_.secChipErase != 0);
    blockErase_->setChecked(v_.secEraseBlock != 0);
    program_->setChecked(v_.secProgBlock != 0);
    text1_->setText(v_.optionText1);
    text2_->setText(v_.optionText2);
    power_->setChecked(v_.powerMessage != 0);
}

void CSetupPage2::readControls() {
    v_.optBlk = Checked(blankCheck_);
    v_.optVeri = Checked(readVerify_);
    v_.optSec = Checked(securityAfter_);
    v_.optSum = Checked(checksum_);
    v_.secChipErase = Checked(chipErase_);
    v_.secEraseBlock = Checked(blockErase_);
    v_.secProgBlock = Checked(program_);
    v_.optionText1 = text1_->text();
    v_.optionText2 = text2_->text();
    v_.powerMessage = Checked(power_);
}

void CSetupPage2::securityRules() {
    QCheckBox *const boxes[] = {securityAfter_, chipErase_, blockErase_, program_};
    for (QCheckBox *b : boxes) b->setChecked(false);
    const bool allowed = v_.securityEnabled != 0 && record_.current() != nullptr;
    for (QCheckBox *b : boxes) b->setEnabled(allowed);
    if (!allowed) return;
    securityAfter_->setChecked(v_.optSec == 1);
    chipErase_->setChecked(v_.secChipErase == 1);
    blockErase_->setChecked(v_.secEraseBlock == 1);
    program_->setChecked(v_.secProgBlock == 1);
}

void CSetupPage2::setFileDefaults(const DeviceParameters &rec, bool withTexts) {
    v_.optBlk = Bit(rec.optionSet1, 0);
    v_.optVeri = Bit(rec.optionSet1, 1);
    v_.optSec = Bit(rec.optionSet1, 2);
    v_.optSum = Bit(rec.optionSet1, 3);
    v_.secProgBlock = Bit(rec.optionSet2, 0);
    v_.secEraseBlock = Bit(rec.optionSet2, 1);
    v_.secChipErase = Bit(rec.optionSet2, 2);
    if (!withTexts) return;
    v_.optionText1 = FieldText(rec.optionText1, sizeof rec.optionText1);
    v_.optionText2 = FieldText(rec.optionText2, sizeof rec.optionText2);
    // The boxes show the file's texts; read back later, they would
    // otherwise put the old texts over them.
    if (created_) {
        text1_->setText(v_.optionText1);
        text2_->setText(v_.optionText2);
    }
}

void CSetupPage2::parameterFileRead(const DeviceParameters &rec) {
    if (!created_) return;
    setFileDefaults(rec, true);
    blankCheck_->setEnabled(true);
    readVerify_->setEnabled(false);
    checksum_->setEnabled(true);
    securityRules();
}

void CSetupPage2::parameterFileApplied(const DeviceParameters &rec) {
    refreshPending_ = true;
    if (created_) {
        blankCheck_->setEnabled(true);
        checksum_->setEnabled(true);
        readVerify_->setEnabled(false);
        securityRules();
    }
    setFileDefaults(rec, false);
}

void CSetupPage2::setPowerMessage(int checked) {
    v_.powerMessage = checked;
    power_->setChecked(checked != 0);
}

void CSetupPage2::onChipErase(bool checked) {
    if (!checked) return;
    const bool ok = prompts_.ask(
        this, {QStringLiteral("Ombrix"),
               QStringLiteral("When 'Chip Erase' is disabled, chip cannot be erased and programmed any more!"),
               BoxIcon::Exclamation, true, {}, {}});
    if (!ok) chipErase_->setChecked(false);
}
