#include "setup/setup_page1.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "setup/setup_page2.h"
#include "view/panel_text.h"
#include "shell/prompts.h"

namespace {

// Range choices: the ids of the three range buttons and the bits of the
// parameter record's rangeSet5 that allow them.
constexpr int kChip = 0;
constexpr int kBlock = 1;
constexpr int kArea = 2;

// An index the list does not have selects nothing.
void SelectIndex(QComboBox *list, int index) { list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1); }

int Checked(const QCheckBox *box) { return box->isChecked() ? 1 : 0; }

// The parts of a parameter-file path: folder (with its trailing separator),
// name and extension (with its dot).
struct PathParts {
    QString folder, name, extension;
};

PathParts SplitPath(const QString &path) {
    PathParts p;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    p.folder = path.left(slash + 1);
    const QString file = path.mid(slash + 1);
    const int dot = file.lastIndexOf(QLatin1Char('.'));
    p.name = dot < 0 ? file : file.left(dot);
    p.extension = dot < 0 ? QString() : file.mid(dot);
    return p;
}

}  // namespace

CSetupPage1::CSetupPage1(const StandardPageValues &values, ParameterRecordSlot &record, Prompts &prompts,
                         PortLister ports, QWidget *parent)
    : QWidget(parent), v_(values), record_(record), prompts_(prompts), ports_(std::move(ports)) {
    buildControls();
}

void CSetupPage1::buildControls() {
    auto named = [](QWidget *w, const char *name) {
        w->setObjectName(QLatin1String(name));
        return w;
    };

    auto *file = new QGroupBox(QStringLiteral("Parameter file"), this);
    prmName_ = new QLabel(file);
    prmName_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    prmName_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    prmList_ = new QComboBox(file);
    prmList_->setEnabled(false);  // shows the folder's files; the choice is made with PRM File Read
    folder_ = new QPushButton(QStringLiteral("&Folder..."), file);
    folder_->setEnabled(false);
    prmRead_ = new QPushButton(QStringLiteral("PRM File Read"), file);
    named(prmName_, "prmName");
    named(prmList_, "prmList");
    named(folder_, "folderButton");
    named(prmRead_, "prmFileRead");
    auto *fileGrid = new QGridLayout(file);
    fileGrid->addWidget(prmName_, 0, 0);
    fileGrid->addWidget(folder_, 0, 1);
    fileGrid->addWidget(prmList_, 1, 0);
    fileGrid->addWidget(prmRead_, 1, 1);
    fileGrid->setColumnStretch(0, 1);

    auto *host = new QGroupBox(QStringLiteral("Host connection"), this);
    portList_ = new QComboBox(host);
    speedList_ = new QComboBox(host);
    speedList_->addItem(QStringLiteral("115200"));
    named(portList_, "portList");
    named(speedList_, "speedList");
    auto *hostGrid = new QGridLayout(host);
    hostGrid->addWidget(new QLabel(QStringLiteral("Port"), host), 0, 0);
    hostGrid->addWidget(portList_, 0, 1);
    hostGrid->addWidget(new QLabel(QStringLiteral("Speed"), host), 1, 0);
    hostGrid->addWidget(speedList_, 1, 1);
    hostGrid->setColumnStretch(1, 1);

    auto *osc = new QGroupBox(QStringLiteral("Supply oscillator"), this);
    freq_ = new QLineEdit(osc);
    multiply_ = new QLineEdit(osc);
    named(freq_, "frequency");
    named(multiply_, "multiplyRate");
    auto *oscGrid = new QGridLayout(osc);
    oscGrid->addWidget(new QLabel(QStringLiteral("Frequency"), osc), 0, 0);
    oscGrid->addWidget(freq_, 0, 1);
    oscGrid->addWidget(new QLabel(QStringLiteral("MHz"), osc), 0, 2);
    oscGrid->addWidget(new QLabel(QStringLiteral("Multiply rate"), osc), 1, 0);
    oscGrid->addWidget(multiply_, 1, 1);

    auto *mode = new QGroupBox(QStringLiteral("Operation Mode"), this);
    range_ = new QButtonGroup(this);
    const char *const rangeTexts[3] = {"Chip", "Block", "Area"};
    const char *const rangeNames[3] = {"chip", "block", "area"};
    auto *rangeRow = new QHBoxLayout;
    for (int i = 0; i < 3; ++i) {
        rangeButtons_[i] = new QRadioButton(QLatin1String(rangeTexts[i]), mode);
        named(rangeButtons_[i], rangeNames[i]);
        range_->addButton(rangeButtons_[i], i);
        rangeRow->addWidget(rangeButtons_[i]);
    }
    rangeRow->addStretch();
    startList_ = new QComboBox(mode);
    endList_ = new QComboBox(mode);
    showAddress_ = new QCheckBox(QStringLiteral("Show Address"), mode);
    selectProg_ = new QCheckBox(QStringLiteral("Selective programming"), mode);
    selStart_ = new QLineEdit(mode);
    selEnd_ = new QLineEdit(mode);
    auto_ = new QCheckBox(QStringLiteral("Auto"), mode);
    named(startList_, "startList");
    named(endList_, "endList");
    named(showAddress_, "showAddress");
    named(selectProg_, "selectiveProgramming");
    named(selStart_, "selectiveStart");
    named(selEnd_, "selectiveEnd");
    named(auto_, "auto");
    // Selective programming is offered in the layout but not available.
    for (QWidget *w : std::initializer_list<QWidget *>{selectProg_, selStart_, selEnd_}) w->setEnabled(false);
    auto_->hide();
    auto *modeGrid = new QGridLayout(mode);
    modeGrid->addLayout(rangeRow, 0, 0, 1, 4);
    modeGrid->addWidget(showAddress_, 0, 4);
    modeGrid->addWidget(new QLabel(QStringLiteral("Start"), mode), 1, 0);
    modeGrid->addWidget(startList_, 1, 1);
    modeGrid->addWidget(new QLabel(QStringLiteral("End"), mode), 1, 2);
    modeGrid->addWidget(endList_, 1, 3);
    modeGrid->addWidget(selectProg_, 2, 0, 1, 2);
    auto *selRow = new QHBoxLayout;
    selRow->addWidget(new QLabel(QStringLiteral("Start"), mode));
    selRow->addWidget(selStart_);
    selRow->addWidget(new QLabel(QStringLiteral("End"), mode));
    selRow->addWidget(selEnd_);
    modeGrid->addLayout(selRow, 2, 2, 1, 3);
    modeGrid->addWidget(auto_, 3, 0);
    modeGrid->setColumnStretch(1, 1);
    modeGrid->setColumnStretch(3, 1);

    power_ = new QCheckBox(QStringLiteral("Turn off -> on Target power"), this);
    named(power_, "power");

    auto *middle = new QHBoxLayout;
    middle->addWidget(host, 1);
    middle->addWidget(osc, 1);
    auto *page = new QVBoxLayout(this);
    page->addWidget(file);
    page->addLayout(middle);
    page->addWidget(mode);
    page->addWidget(power_);
    page->addStretch();

    // Only the user's own actions count: "clicked" and "activated" are not
    // sent when the page sets a control itself.
    connect(prmRead_, &QPushButton::clicked, this, &CSetupPage1::onPrmFileRead);
    connect(showAddress_, &QCheckBox::clicked, this, &CSetupPage1::onShowAddress);
    connect(range_, &QButtonGroup::idClicked, this, &CSetupPage1::applyRangeRule);
    connect(startList_, &QComboBox::activated, this, [this](int index) { v_.showStart = index; });
    connect(endList_, &QComboBox::activated, this, [this](int index) { v_.showEnd = index; });
    connect(power_, &QCheckBox::clicked, this, [this](bool checked) {
        v_.powerMessage = checked ? 1 : 0;
        if (advance_) advance_->setPowerMessage(v_.powerMessage);
    });
    // The selected port's device shows as the list's tool tip.
    connect(portList_, &QComboBox::currentIndexChanged, this, [this](int index) {
        portList_->setToolTip(index < 0 ? QString() : portList_->itemData(index, Qt::ToolTipRole).toString());
    });
}

void CSetupPage1::open() {
    putControls();
    power_->setVisible(v_.visiblePower == 1);
    fillParameterFileList();
    if (const DeviceParameters *rec = record_.current()) {
        fillBlockLists();
        enableRangeButtons(rec->rangeSet5);
        if (rangeButtons_[kChip]->isChecked()) applyRangeRule(kChip);
        startList_->setEnabled(false);
        applyAuto();
    }
    fillPortList();
    putControls();
}

void CSetupPage1::putControls() {
    int prmIndex = v_.prmListIndex;
    // The flag of an accepted setup shows the current file's entry.
    if (prmIndex >= 0 && !prmName_->text().isEmpty()) {
        const int own = prmList_->findText(prmName_->text());
        if (own >= 0) prmIndex = own;
    }
    SelectIndex(prmList_, prmIndex);
    SelectIndex(speedList_, v_.speedIndex);
    freq_->setText(v_.freq);
    multiply_->setText(v_.multiply);
    setRange(v_.supValue);
    showAddress_->setChecked(v_.showAddr != 0);
    SelectIndex(startList_, v_.showStart);
    SelectIndex(endList_, v_.showEnd);
    selectProg_->setChecked(v_.selectProg != 0);
    selStart_->setText(v_.selStart);
    selEnd_->setText(v_.selEnd);
    auto_->setChecked(v_.autoMode != 0);
    power_->setChecked(v_.powerMessage != 0);
}

void CSetupPage1::readControls() {
    v_.prmListIndex = prmList_->currentIndex();
    v_.speedIndex = speedList_->currentIndex();
    v_.freq = freq_->text();
    v_.multiply = multiply_->text();
    v_.supValue = checkedRange();
    v_.showAddr = Checked(showAddress_);
    v_.showStart = startList_->currentIndex();
    v_.showEnd = endList_->currentIndex();
    v_.selectProg = Checked(selectProg_);
    v_.selStart = selStart_->text();
    v_.selEnd = selEnd_->text();
    v_.autoMode = Checked(auto_);
    v_.powerMessage = Checked(power_);
}

void CSetupPage1::takePort() {
    const int index = portList_->currentIndex();
    if (index < 0 || index >= portChoices_.size()) {
        v_.port = -1;
        v_.portName.clear();
        return;
    }
    const PortChoice &c = portChoices_.at(index);
    v_.port = c.number - 1;
    v_.portName = c.name;
    v_.portDetail = c.detail;
}

void CSetupPage1::setPowerMessage(int checked) {
    v_.powerMessage = checked;
    power_->setChecked(checked != 0);
}

void CSetupPage1::fillPortList() {
    portChoices_ = PortChoices(ports_ ? ports_(v_.enableAllCom != 0) : std::vector<PRRPortInfo>());
    portList_->clear();
    int selected = -1;
    for (int i = 0; i < portChoices_.size(); ++i) {
        const PortChoice &c = portChoices_.at(i);
        portList_->addItem(c.label);
        portList_->setItemData(i, c.detail, Qt::ToolTipRole);
        // The first entry of a number is the one the library opens.
        if (selected < 0 && c.number - 1 == v_.port) selected = i;
    }
    portList_->setCurrentIndex(selected);
}

void CSetupPage1::fillParameterFileList() {
    const PathParts p = SplitPath(v_.prmPath);
    prmList_->clear();
    // The current file's folder first, then every search folder; a file
    // shows once, with its whole path as the tool tip.
    QStringList folders;
    if (!p.folder.isEmpty()) folders << p.folder;
    folders << v_.prmFolders;
    QStringList seen;
    for (const QString &name : folders) {
        const QDir folder(name);
        const QString canonical = folder.canonicalPath();
        if (canonical.isEmpty() || seen.contains(canonical)) continue;
        seen << canonical;
        // Name filters match regardless of case, as the files are named on the
        // systems they come from.
        const QString extension = p.extension.isEmpty() ? QStringLiteral(".prm") : p.extension;
        for (const QFileInfo &f : folder.entryInfoList({QStringLiteral("*") + extension},
                                                       QDir::Files | QDir::Hidden | QDir::System,
                                                       QDir::Name | QDir::IgnoreCase)) {
            prmList_->addItem(f.fileName());
            prmList_->setItemData(prmList_->count() - 1, f.absoluteFilePath(), Qt::ToolTipRole);
        }
    }
    if (p.name != QLatin1String("*")) prmName_->setText(p.name + p.extension);
}

void CSetupPage1::fillBlockLists() {
    startList_->clear();
    endList_->clear();
    const DeviceParameters *rec = record_.current();
    if (rec && rec->blockCount > 0 && rec->blockTable) {
        for (int32_t i = 0; i < rec->blockCount; ++i) {
            const RangeEntry &b = rec->blockTable[i];
            if (v_.showAddr) {
                startList_->addItem(QString::asprintf("%06X", b.start));
                endList_->addItem(QString::asprintf("%06X", b.end));
            } else {
                const QString number = QString::asprintf("%03d", b.number);
                startList_->addItem(number);
                endList_->addItem(number);
            }
        }
    }
    SelectIndex(startList_, v_.showStart);
    SelectIndex(endList_, v_.showEnd);
}

void CSetupPage1::setRange(int range) {
    // An exclusive group cannot uncheck its last checked button.
    range_->setExclusive(false);
    for (int i = 0; i < 3; ++i) rangeButtons_[i]->setChecked(i == range);
    range_->setExclusive(true);
}

int CSetupPage1::checkedRange() const { return range_->checkedId(); }

void CSetupPage1::enableRangeButtons(unsigned rangeSet5) {
    for (int i = 0; i < 3; ++i) rangeButtons_[i]->setEnabled((rangeSet5 >> i) & 1u);
}

void CSetupPage1::applyRangeRule(int range) {
    switch (range) {
    case kChip:
        startList_->setEnabled(false);
        endList_->setEnabled(false);
        showAddress_->setEnabled(false);
        break;
    case kBlock:
        // Block mode picks only the end; the start stays as it was chosen.
        startList_->setEnabled(false);
        endList_->setEnabled(true);
        showAddress_->setEnabled(true);
        break;
    case kArea:
        startList_->setEnabled(true);
        endList_->setEnabled(true);
        showAddress_->setEnabled(true);
        break;
    default:
        break;
    }
}

void CSetupPage1::applyAuto() {
    if (v_.autoMode != 1) {
        auto_->setChecked(false);
        return;
    }
    auto_->setChecked(true);
    for (QRadioButton *b : rangeButtons_) b->setEnabled(false);
    startList_->setEnabled(false);
    endList_->setEnabled(false);
    showAddress_->setEnabled(false);
}

void CSetupPage1::onShowAddress(bool checked) {
    if (!record_.current()) return;
    v_.showAddr = checked ? 1 : 0;
    fillBlockLists();
}

void CSetupPage1::onPrmFileRead() {
    OpenFileRequest request;
    request.filters = {{QStringLiteral("PRM Files(*.PRM)"), QStringLiteral("*.PRM")},
                       {QStringLiteral("All(*.*)"), QStringLiteral("*.*")}};
    request.initialName = QStringLiteral("*.prm");
    // The current file's folder, else the user's home (not the program's).
    const PathParts current = SplitPath(v_.prmPath);
    request.initialFolder = !current.folder.isEmpty() && current.name != QLatin1String("*") ? current.folder : QDir::homePath();
    const QString chosen = prompts_.openFile(this, request);
    if (chosen.isEmpty()) return;
    const QFileInfo info(chosen);
    prmName_->setText(info.fileName());
    v_.prmPath = info.absoluteFilePath();
    readParameterFile(v_.prmPath);
}

void CSetupPage1::readParameterFile(const QString &path) {
    // The page values go back into every control at the end; take what the
    // user has changed so far first, so that only the file's values change.
    readControls();
    record_.replace(nullptr);
    quillclient::FileStatus status;
    DeviceParameters *rec = quillclient::ReadParameterFile(QFile::encodeName(path).toStdString(), true, &status);
    record_.replace(rec);
    if (status.fault == quillclient::FileStatus::kBadChecksum) {
        prompts_.ask(this, {QStringLiteral("Error"), QStringLiteral("This PRM File CHECKSUM Error"), BoxIcon::None,
                            false, {}, {}});
        prmName_->clear();
        return;
    }
    if (!rec) {
        // The reader refused the file: nothing is loaded, and the name must
        // not suggest otherwise. Its checksum would fail too, but that is not
        // what the user needs to hear about a file that is missing.
        prmName_->clear();
        prompts_.message(this, QStringLiteral("Cannot read the parameter file\n%1:\n%2.").arg(path, FileStatusWords(status)),
                         BoxIcon::Exclamation);
        return;
    }
    if (advance_) advance_->parameterFileRead(*rec);

    if (rec->blockCount != 0) {
        v_.showStart = rec->typeSet11;
        v_.showEnd = rec->typeSet12;
    }
    fillBlockLists();

    enableRangeButtons(rec->rangeSet5);
    for (int range : {kChip, kBlock, kArea}) {
        if (!((rec->rangeSet5 >> range) & 1u)) continue;
        v_.supValue = range;
        setRange(range);
        applyRangeRule(range);
        break;
    }
    applyAuto();

    v_.freq = QString::asprintf("%.2f", rec->typeSet7);
    v_.multiply = QString::asprintf("%.2f", static_cast<double>(rec->typeSet2));
    if (advance_) advance_->parameterFileApplied(*rec);
    putControls();
}
