// Device Setup: the Standard and Advance pages with their rules, and the
// main view's Device Setup command running the real dialog.
#include <cstring>

#include <QCheckBox>
#include <QComboBox>
#include <QTemporaryDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>

#include "gui_fixture.h"
#include "setup/setup_page1.h"
#include "setup/setup_page2.h"
#include "setup/setup_sheet.h"
#include "shell/demo_mode.h"
#include "view/commands.h"
#include "view/info_panel.h"

using namespace guitest;

namespace {

// Owns the parameter record the way the view does.
class RecordSlot : public ParameterRecordSlot {
public:
    ~RecordSlot() override { PRRFreePRM(record_); }
    DeviceParameters *current() const override { return record_; }
    void replace(DeviceParameters *record) override {
        if (record == record_) return;
        PRRFreePRM(record_);
        record_ = record;
    }

private:
    DeviceParameters *record_ = nullptr;
};

PRRPortInfo Port(int number, const QByteArray &path, const QByteArray &description) {
    PRRPortInfo p{};
    p.number = number;
    std::snprintf(p.name, sizeof p.name, "COM%d", number);
    std::memcpy(p.path, path.constData(), std::min<size_t>(path.size(), sizeof p.path));
    std::memcpy(p.description, description.constData(), std::min<size_t>(description.size(), sizeof p.description));
    return p;
}

// A port listing that remembers the flag it was asked with.
struct StubPorts {
    std::vector<PRRPortInfo> ports = {Port(3, "/dev/ttyS2", ""), Port(12, "/tmp/pty7", "alias"),
                                      Port(33, "/dev/ttyUSB0", "FTDI FT232R")};
    QList<bool> asked;
    PortLister lister() {
        return [this](bool all) {
            asked.append(all);
            return ports;
        };
    }
};

template <class T>
T *Child(const QWidget *root, const char *name) {
    T *w = root->findChild<T *>(QLatin1String(name));
    if (!w) qFatal("no widget named %s", name);
    return w;
}

// Picks an entry as the keyboard does, so the list reports the choice.
void Choose(QComboBox *list, int index) {
    QTest::keyClick(list, Qt::Key_Home);
    for (int i = 0; i < index; ++i) QTest::keyClick(list, Qt::Key_Down);
}

QStringList Entries(const QComboBox *list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->itemText(i);
    return out;
}

// demo.prm with some text replaced, saved in `box`; the SUM line is made to
// fit the new text unless `fitSum` is false.
QString PrmVariant(const Sandbox &box, const QString &name, const QList<QPair<QByteArray, QByteArray>> &edits,
                   bool fitSum = true) {
    QFile in(kSamples + "/demo.prm");
    if (!in.open(QIODevice::ReadOnly)) qFatal("cannot read demo.prm");
    QByteArray text = in.readAll();
    for (const auto &[from, to] : edits) {
        if (!text.contains(from)) qFatal("demo.prm has no %s", from.constData());
        text.replace(from, to);
    }
    const QString path = box.path(name);
    box.write(path, text);
    if (fitSum) {
        uint32_t computed = 0;
        if (PRRChecksumValuesPRM(QFile::encodeName(path).constData(), &computed, nullptr) != 0) qFatal("no checksum");
        text.replace("SUM=1595B947", "SUM=" + QByteArray::number(computed, 16).toUpper().rightJustified(8, '0'));
        box.write(path, text);
    }
    return path;
}

// One sheet on its own, with the values a Device Setup command would hand in.
struct SheetRig {
    Sandbox box;
    ScriptedPrompts prompts;
    RecordSlot record;
    StubPorts ports;
    DeviceSetupValues values;
    std::unique_ptr<CSetupSheet> sheet;

    SheetRig() {
        values.standard.visiblePower = values.advance.visiblePower = 1;
        values.advance.securityEnabled = 1;
        values.standard.prmPath = kSamples + "/demo.prm";
    }
    void loadDemo() { record.replace(PRRReadPRM(QFile::encodeName(kSamples + "/demo.prm").constData(), 0)); }
    CSetupSheet &open() {
        sheet = std::make_unique<CSetupSheet>(values, record, prompts, ports.lister());
        return *sheet;
    }
    QWidget *standard() const { return sheet->standardPage(); }
    QWidget *advance() const { return sheet->advancePage(); }
    void readFile(const QString &path) {
        prompts.fileAnswers << path;
        Child<QPushButton>(standard(), "prmFileRead")->click();
    }
    void showPage(int page) { sheet->tabs()->setCurrentIndex(page); }
    DeviceSetupValues ok() {
        sheet->accept();
        return sheet->values();
    }
};

}  // namespace

class SetupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void portList_data() {
        QTest::addColumn<int>("allPorts");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("selected");
        QTest::newRow("COM12 for port 11") << 0 << 11 << 1;
        QTest::newRow("a port not listed") << 0 << 4 << -1;
        QTest::newRow("all ports asked for") << 1 << 2 << 0;
    }
    void portList() {
        QFETCH(int, allPorts);
        QFETCH(int, port);
        QFETCH(int, selected);
        SheetRig rig;
        rig.values.standard.enableAllCom = allPorts;
        rig.values.standard.port = port;
        rig.values.standard.portDetail = "kept";
        rig.open();
        auto *list = Child<QComboBox>(rig.standard(), "portList");
        QCOMPARE(rig.ports.asked, QList<bool>({allPorts != 0}));
        QCOMPARE(Entries(list), QStringList({"COM3", "COM12", "COM33"}));
        QCOMPARE(list->currentIndex(), selected);
        QCOMPARE(list->itemData(2, Qt::ToolTipRole).toString(), QString("/dev/ttyUSB0 (FTDI FT232R)"));
        const StandardPageValues v = rig.ok().standard;
        const int numbers[] = {3, 12, 33};
        QCOMPARE(v.port, selected < 0 ? -1 : numbers[selected] - 1);
        QCOMPARE(v.portName, selected < 0 ? QString() : list->itemText(selected));
        if (selected < 0) QCOMPARE(v.portDetail, QString("kept"));
        if (selected == 1) QCOMPARE(v.portDetail, QString("/tmp/pty7 (alias)"));
    }

    void portChoicesStayInBounds() {
        // Fields filled to the last byte have no terminator; numbers outside
        // COM1..COM255 cannot be opened.
        const std::vector<PRRPortInfo> ports = {Port(0, "/dev/ttyS9", ""), Port(256, "/dev/ttyS8", ""),
                                                Port(255, QByteArray(300, 'p'), QByteArray(200, 'd'))};
        const QList<PortChoice> choices = PortChoices(ports);
        QCOMPARE(choices.size(), 1);
        QCOMPARE(choices[0].name, QString("COM255"));
        QCOMPARE(choices[0].detail, QString(100, 'p'));

        // An alias of an adapter shows which adapter it is; a plain alias only its name.
        const QList<PortChoice> aliases = PortChoices({Port(12, "/dev/serial/by-id/usb-FTDI_X", "alias: FTDI FT232R (A5)"),
                                                       Port(40, "/dev/pts/3", "alias")});
        QCOMPARE(aliases[0].label, QString("COM12  FTDI FT232R (A5)"));
        QCOMPARE(aliases[1].label, QString("COM40"));
    }

    // Files of every search folder, the current file's folder first, each once.
    void parameterFileListSearchesEveryFolder() {
        QTemporaryDir dir;
        for (const char *f : {"user/a.prm", "user/b.PRM", "system/c.prm", "system/notes.txt"}) {
            QDir().mkpath(QFileInfo(dir.filePath(f)).absolutePath());
            QFile file(dir.filePath(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        SheetRig rig;
        rig.values.standard.prmPath = kSamples + "/demo.prm";
        rig.values.standard.prmFolders = {dir.filePath("user"), dir.filePath("missing"), dir.filePath("system"), kSamples};
        rig.open();
        auto *list = Child<QComboBox>(rig.standard(), "prmList");
        QCOMPARE(Entries(list), QStringList({"demo-addr.prm", "demo.prm", "a.prm", "b.PRM", "c.prm"}));
        QCOMPARE(list->itemData(2, Qt::ToolTipRole).toString(), QFileInfo(dir.filePath("user/a.prm")).absoluteFilePath());
    }

    void parameterFileList_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("listIndex");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("entry");
        QTest::newRow("a chosen file") << kSamples + "/demo.prm" << 0 << "demo.prm" << "demo.prm";
        QTest::newRow("a search pattern") << kSamples + "/*.PRM" << 0 << "" << "demo-addr.prm";
        QTest::newRow("a rejected setup") << kSamples + "/demo.prm" << -1 << "demo.prm" << "";
    }
    void parameterFileList() {
        QFETCH(QString, path);
        QFETCH(int, listIndex);
        QFETCH(QString, name);
        QFETCH(QString, entry);
        SheetRig rig;
        rig.values.standard.prmPath = path;
        rig.values.standard.prmListIndex = listIndex;
        rig.open();
        auto *list = Child<QComboBox>(rig.standard(), "prmList");
        QCOMPARE(Entries(list), QStringList({"demo-addr.prm", "demo.prm"}));
        QCOMPARE(list->currentText(), entry);
        QCOMPARE(Child<QLabel>(rig.standard(), "prmName")->text(), name);
        QVERIFY(!list->isEnabled());
        QVERIFY(!Child<QPushButton>(rig.standard(), "folderButton")->isEnabled());
        QCOMPARE(Entries(Child<QComboBox>(rig.standard(), "speedList")), QStringList({"115200"}));
    }

    void readingAParameterFile_data() {
        QTest::addColumn<QByteArray>("rangeSet5");
        QTest::addColumn<int>("range");
        QTest::addColumn<QList<bool>>("allowed");  // Chip, Block, Area
        QTest::addColumn<QList<bool>>("lists");    // start, end, Show Address enabled
        QTest::newRow("all allowed: Chip") << QByteArray("07") << 0 << QList<bool>{1, 1, 1} << QList<bool>{0, 0, 0};
        QTest::newRow("6: Block, no Chip") << QByteArray("06") << 1 << QList<bool>{0, 1, 1} << QList<bool>{0, 1, 1};
        QTest::newRow("Area only") << QByteArray("04") << 2 << QList<bool>{0, 0, 1} << QList<bool>{1, 1, 1};
        // None allowed: the range saved stays.
        QTest::newRow("none allowed") << QByteArray("00") << 1 << QList<bool>{0, 0, 0} << QList<bool>{1, 1, 1};
    }
    void readingAParameterFile() {
        QFETCH(QByteArray, rangeSet5);
        QFETCH(int, range);
        QFETCH(QList<bool>, allowed);
        QFETCH(QList<bool>, lists);
        SheetRig rig;
        rig.values.standard.supValue = 1;
        const QString path = PrmVariant(rig.box, "variant.prm",
                                        {{"004000000 07 0500", "004000000 " + rangeSet5 + " 0500"},
                                         {"100000 0 0", "100000 2 5"}});
        rig.open();
        // A choice made before the read survives it.
        Choose(Child<QComboBox>(rig.standard(), "speedList"), 0);
        rig.readFile(path);
        QVERIFY(rig.prompts.boxes.isEmpty());
        const OpenFileRequest &request = rig.prompts.fileRequests.at(0);
        QCOMPARE(request.filters.at(0).label, QString("PRM Files(*.PRM)"));
        QCOMPARE(request.filters.at(1).label, QString("All(*.*)"));
        QCOMPARE(request.initialName, QString("*.prm"));
        QCOMPARE(request.initialFolder, kSamples + "/");

        QVERIFY(rig.record.current());
        QCOMPARE(rig.record.current()->typeSet11, 2);
        QCOMPARE(Child<QLabel>(rig.standard(), "prmName")->text(), QString("variant.prm"));
        const char *const buttons[] = {"chip", "block", "area"};
        for (int i = 0; i < 3; ++i) {
            auto *b = Child<QRadioButton>(rig.standard(), buttons[i]);
            QCOMPARE(b->isEnabled(), allowed[i]);
            QCOMPARE(b->isChecked(), i == range);
        }
        auto *start = Child<QComboBox>(rig.standard(), "startList");
        auto *end = Child<QComboBox>(rig.standard(), "endList");
        QCOMPARE(start->isEnabled(), lists[0]);
        QCOMPARE(end->isEnabled(), lists[1]);
        QCOMPARE(Child<QCheckBox>(rig.standard(), "showAddress")->isEnabled(), lists[2]);
        QCOMPARE(start->count(), 16);
        QCOMPARE(end->itemText(15), QString("015"));
        QCOMPARE(start->currentText(), QString("002"));
        QCOMPARE(end->currentText(), QString("005"));

        const StandardPageValues v = rig.ok().standard;
        QCOMPARE(v.supValue, range);
        QCOMPARE(v.freq, QString("8.00"));
        QCOMPARE(v.multiply, QString("1.00"));
        QCOMPARE(v.showStart, 2);
        QCOMPARE(v.showEnd, 5);
        QCOMPARE(v.speedIndex, 0);
        QCOMPARE(v.prmPath, path);
    }

    void checksumFailureDropsTheRecord() {
        SheetRig rig;
        rig.loadDemo();
        const QString path = PrmVariant(rig.box, "bad.prm", {{"DEMO-A", "DEMO-X"}}, false);
        rig.open();
        rig.readFile(path);
        QCOMPARE(rig.prompts.boxes.size(), 1);
        QCOMPARE(rig.prompts.boxes[0].text, QString("This PRM File CHECKSUM Error"));
        QCOMPARE(rig.prompts.boxes[0].caption, QString("Error"));
        QVERIFY(!rig.prompts.boxes[0].withCancel);
        QVERIFY(!rig.record.current());
        QCOMPARE(Child<QLabel>(rig.standard(), "prmName")->text(), QString());

        // A file the reader refuses says which and why.
        rig.readFile(rig.box.path("missing.prm"));
        QCOMPARE(rig.prompts.boxes.size(), 2);
        QCOMPARE(rig.prompts.boxes[1].text, "Cannot read the parameter file\n" + rig.box.path("missing.prm") + ":\nno such file.");
    }

    void rangeButtonRules_data() {
        QTest::addColumn<int>("saved");
        QTest::addColumn<QList<bool>>("atOpen");  // start, end, Show Address enabled
        QTest::newRow("Chip") << 0 << QList<bool>{0, 0, 0};
        QTest::newRow("Block") << 1 << QList<bool>{0, 1, 1};
        QTest::newRow("Area") << 2 << QList<bool>{0, 1, 1};
    }
    void rangeButtonRules() {
        QFETCH(int, saved);
        QFETCH(QList<bool>, atOpen);
        SheetRig rig;
        rig.loadDemo();
        rig.values.standard.supValue = saved;
        rig.values.standard.showStart = 1;
        rig.open();
        auto *start = Child<QComboBox>(rig.standard(), "startList");
        auto *end = Child<QComboBox>(rig.standard(), "endList");
        auto *address = Child<QCheckBox>(rig.standard(), "showAddress");
        QCOMPARE(QList<bool>({start->isEnabled(), end->isEnabled(), address->isEnabled()}), atOpen);
        Child<QRadioButton>(rig.standard(), "area")->click();
        QVERIFY(start->isEnabled() && end->isEnabled() && address->isEnabled());
        Child<QRadioButton>(rig.standard(), "block")->click();
        QVERIFY(!start->isEnabled() && end->isEnabled());

        // Addresses instead of numbers; the selection stays.
        address->click();
        QCOMPARE(start->itemText(1), QString("001000"));
        QCOMPARE(end->itemText(0), QString("000FFF"));
        QCOMPARE(start->currentIndex(), 1);
        const StandardPageValues v = rig.ok().standard;
        QCOMPARE(v.showAddr, 1);
        QCOMPARE(v.supValue, 1);
    }

    void advanceTakesTheFileDefaults_data() {
        QTest::addColumn<bool>("shownBefore");
        QTest::addColumn<bool>("shownAfter");
        QTest::newRow("shown only after the read") << false << true;
        QTest::newRow("shown before and after the read") << true << true;
        // OK on the Standard page: the Advance page keeps the defaults it was
        // given after it was left, whatever its boxes showed then.
        QTest::newRow("shown only before the read") << true << false;
        QTest::newRow("never shown") << false << false;
    }
    void advanceTakesTheFileDefaults() {
        QFETCH(bool, shownBefore);
        QFETCH(bool, shownAfter);
        SheetRig rig;
        rig.values.advance.optVeri = 1;
        const QString path = PrmVariant(rig.box, "options.prm", {{"OPTSET = 0F 07", "OPTSET = 09 07"}});
        rig.open();
        if (shownBefore) {
            rig.showPage(CSetupSheet::kAdvancePage);
            rig.showPage(CSetupSheet::kStandardPage);
        }
        rig.readFile(path);
        if (shownAfter) {
            rig.showPage(CSetupSheet::kAdvancePage);
            auto *verify = Child<QCheckBox>(rig.advance(), "readVerify");
            QVERIFY(Child<QCheckBox>(rig.advance(), "blankCheck")->isChecked());
            QVERIFY(Child<QCheckBox>(rig.advance(), "checksum")->isChecked());
            QVERIFY(!verify->isChecked() && !verify->isEnabled());
            QVERIFY(!Child<QCheckBox>(rig.advance(), "securityAfter")->isChecked());
            QVERIFY(Child<QCheckBox>(rig.advance(), "chipErase")->isChecked());
            QCOMPARE(Child<QLineEdit>(rig.advance(), "optionText1")->text(), QString("ProgramLock"));
            QCOMPARE(Child<QLineEdit>(rig.advance(), "optionText2")->text(), QString("EraseLock"));
        }
        const AdvancePageValues v = rig.ok().advance;
        QCOMPARE(QList<int>({v.optBlk, v.optVeri, v.optSec, v.optSum}), QList<int>({1, 0, 0, 1}));
        QCOMPARE(QList<int>({v.secProgBlock, v.secEraseBlock, v.secChipErase}), QList<int>({1, 1, 1}));
        // The texts come with the defaults a shown page takes.
        QCOMPARE(v.optionText1, shownBefore || shownAfter ? QString("ProgramLock") : QString());
    }

    void chipEraseWarning_data() {
        QTest::addColumn<bool>("answer");
        QTest::newRow("Cancel") << false;
        QTest::newRow("OK") << true;
    }
    void chipEraseWarning() {
        QFETCH(bool, answer);
        SheetRig rig;
        rig.loadDemo();
        rig.open();
        rig.showPage(CSetupSheet::kAdvancePage);
        rig.prompts.answers << answer;
        auto *box = Child<QCheckBox>(rig.advance(), "chipErase");
        box->click();
        QCOMPARE(rig.prompts.boxes.size(), 1);
        const ScriptedPrompts::Box &shown = rig.prompts.boxes[0];
        QCOMPARE(shown.caption, QString("Ombrix"));
        QCOMPARE(shown.text, QString("When 'Chip Erase' is disabled, chip cannot be erased and programmed any more!"));
        QCOMPARE(shown.icon, BoxIcon::Exclamation);
        QVERIFY(shown.withCancel);
        QCOMPARE(box->isChecked(), answer);
        QCOMPARE(rig.ok().advance.secChipErase, answer ? 1 : 0);
    }

    void securityRules_data() {
        QTest::addColumn<int>("allowed");
        QTest::addColumn<bool>("withRecord");
        QTest::addColumn<int>("kept");
        QTest::newRow("security not allowed") << 0 << true << 0;
        QTest::newRow("no parameter file") << 1 << false << 0;
        QTest::newRow("allowed with a file") << 1 << true << 1;
    }
    void securityRules() {
        QFETCH(int, allowed);
        QFETCH(bool, withRecord);
        QFETCH(int, kept);
        SheetRig rig;
        if (withRecord) rig.loadDemo();
        AdvancePageValues &in = rig.values.advance;
        in.securityEnabled = allowed;
        in.optSec = in.secChipErase = in.secEraseBlock = in.secProgBlock = 1;
        rig.open();
        rig.showPage(CSetupSheet::kAdvancePage);
        auto *blockErase = Child<QCheckBox>(rig.advance(), "blockErase");
        auto *text1 = Child<QLineEdit>(rig.advance(), "optionText1");
        QCOMPARE(blockErase->isEnabled(), kept == 1);
        // The text boxes follow their check boxes only when those are clicked.
        QVERIFY(!text1->isEnabled() && !Child<QLineEdit>(rig.advance(), "optionText2")->isEnabled());
        if (kept) {
            blockErase->click();
            blockErase->click();
            QVERIFY(text1->isEnabled());
        }
        const AdvancePageValues v = rig.ok().advance;
        QCOMPARE(QList<int>({v.optSec, v.secChipErase, v.secEraseBlock, v.secProgBlock}), QList<int>(4, kept));
    }

    void powerBoxIsOneStateOnBothPages() {
        SheetRig rig;
        rig.open();
        auto *standardPower = Child<QCheckBox>(rig.standard(), "power");
        auto *advancePower = Child<QCheckBox>(rig.advance(), "power");
        standardPower->click();
        rig.showPage(CSetupSheet::kAdvancePage);
        QVERIFY(advancePower->isChecked());
        advancePower->click();
        rig.showPage(CSetupSheet::kStandardPage);
        QVERIFY(!standardPower->isChecked());
        const DeviceSetupValues v = rig.ok();
        QCOMPARE(v.standard.powerMessage, 0);
        QCOMPARE(v.advance.powerMessage, 0);

        SheetRig hidden;
        hidden.values.standard.visiblePower = hidden.values.advance.visiblePower = 0;
        hidden.open();
        hidden.showPage(CSetupSheet::kAdvancePage);
        QVERIFY(Child<QCheckBox>(hidden.standard(), "power")->isHidden());
        QVERIFY(Child<QCheckBox>(hidden.advance(), "power")->isHidden());
    }

    // Device Setup through the main window: the first check that fails stops
    // the command, and what was taken before it stays taken.
    void okChecksInOrder_data() {
        QTest::addColumn<int>("given");  // how many of the checks the dialog satisfies
        QTest::addColumn<QString>("box");
        QTest::newRow("no port") << 0 << "None Select Port ComboBox. Retry Please.";
        QTest::newRow("no speed") << 1 << "None Select Speed ComboBox. Retry Please.";
        QTest::newRow("no frequency") << 2 << "None Input Frequency Value. Retry Please.";
        QTest::newRow("no multiply rate") << 3 << "None Input Multiply Rate Value. Retry Please.";
        QTest::newRow("no range") << 4 << "None Input Check Chip/Block/Area. Retry Please.";
        QTest::newRow("all given") << 5 << "";
    }
    void okChecksInOrder() {
        QFETCH(int, given);
        QFETCH(QString, box);
        Sandbox sandbox;
        sandbox.writeProfile(DemoProfile(false, "[Parameter File]\nIndex=0\n"));
        ScriptedPrompts prompts;
        StubPorts ports;
        auto frame = MakeFrame(sandbox, prompts);
        frame->installDeviceSetup(std::make_unique<SetupSheetDialog>(prompts, ports.lister()));
        CFLPRRView &view = *frame->view();
        bool ran = false;
        QTimer::singleShot(0, frame.get(), [&] {
            auto *sheet = qobject_cast<CSetupSheet *>(QApplication::activeModalWidget());
            QVERIFY(sheet);
            ran = true;
            QWidget *page = sheet->standardPage();
            if (given >= 1) Choose(Child<QComboBox>(page, "portList"), 1);  // COM12
            if (given >= 2) Choose(Child<QComboBox>(page, "speedList"), 0);
            if (given == 2) Child<QLineEdit>(page, "frequency")->clear();
            if (given >= 3) Child<QLineEdit>(page, "frequency")->setText("4.00");
            if (given == 3) Child<QLineEdit>(page, "multiplyRate")->clear();
            if (given >= 5) Child<QRadioButton>(page, "block")->click();
            sheet->tabs()->setCurrentIndex(CSetupSheet::kAdvancePage);
            Child<QCheckBox>(sheet->advancePage(), "checksum")->click();
            sheet->accept();
        });
        frame->action(cmd::kSetup)->trigger();
        QVERIFY(ran);
        const SetupSettings &s = view.settings();
        QCOMPARE(prompts.boxes.isEmpty() ? QString() : prompts.boxes.last().text, box);
        QCOMPARE(s.prmIndex, given < 5 ? -1 : 0);
        QCOMPARE(s.portIndex, given >= 1 ? 11 : -1);
        QCOMPARE(s.portName, given >= 1 ? QString("COM12") : QString());
        QCOMPARE(s.speedIndex, given >= 2 ? 0 : -1);
        // The command fills an empty frequency from the parameter file first.
        QCOMPARE(s.freq, given >= 3 ? QString("4.00") : QString("8.00"));
        QCOMPARE(s.optSum, given >= 4 ? 1 : 0);
        QCOMPARE(s.supValue, given >= 5 ? 1 : -1);
        if (given == 5) {
            QCOMPARE(Lines(view).last(), QString("PRM File Read OK."));
            QCOMPARE(view.fieldText(field::kRange), QString("Block 000-000"));
            QCOMPARE(view.areaRecord().mode, PRR_AREA_BLOCK);
        }
    }

    void cancelKeepsTheRecordRead() {
        Sandbox sandbox;
        sandbox.writeProfile(DemoProfile(false));
        ScriptedPrompts prompts;
        StubPorts ports;
        auto frame = MakeFrame(sandbox, prompts);
        frame->installDeviceSetup(std::make_unique<SetupSheetDialog>(prompts, ports.lister()));
        CFLPRRView &view = *frame->view();
        prompts.fileAnswers << kSamples + "/demo-addr.prm";
        QTimer::singleShot(0, frame.get(), [] {
            auto *sheet = qobject_cast<CSetupSheet *>(QApplication::activeModalWidget());
            QVERIFY(sheet);
            Child<QPushButton>(sheet->standardPage(), "prmFileRead")->click();
            sheet->reject();
        });
        frame->action(cmd::kSetup)->trigger();
        QCOMPARE(Lines(view).last(), QString("Cancel Device Setup."));
        QVERIFY(view.deviceParameters());
        QCOMPARE(QString(view.deviceParameters()->deviceName), QString("QM17F256"));
        QCOMPARE(view.settings().prmFileName, kSamples + "/demo.prm");
    }

#ifdef QUILLROM2_HAVE_SIM
    // The demo as a newcomer meets it: Device Setup shows the demo's port and
    // file, and Block 002-005 erases exactly those blocks of the target.
    void demoBlockErase() {
        QString error;
        std::unique_ptr<DemoEnvironment> demo = DemoEnvironment::start(&error);
        QVERIFY2(demo, qPrintable(error));
        const QByteArray pattern(0x10000, char(0x5A));
        demo->setFlash(0, pattern);
        ScriptedPrompts prompts;
        auto frame = std::make_unique<CMainFrame>(demo->profilePath(), QDir::tempPath() + "/", prompts);
        frame->installDeviceSetup(std::make_unique<SetupSheetDialog>(prompts));
        CFLPRRView &view = *frame->view();
        QVERIFY(WaitForLoadFile(view));

        QString port, file;
        QTimer::singleShot(0, frame.get(), [&] {
            auto *sheet = qobject_cast<CSetupSheet *>(QApplication::activeModalWidget());
            QVERIFY(sheet);
            QWidget *page = sheet->standardPage();
            port = Child<QComboBox>(page, "portList")->currentText();
            file = Child<QLabel>(page, "prmName")->text();
            // The start block is picked in Area mode; Block keeps it.
            Child<QRadioButton>(page, "area")->click();
            Choose(Child<QComboBox>(page, "startList"), 2);
            Choose(Child<QComboBox>(page, "endList"), 5);
            Child<QRadioButton>(page, "block")->click();
            sheet->accept();
        });
        frame->action(cmd::kSetup)->trigger();
        QCOMPARE(port, QString("COM%1").arg(DemoEnvironment::kComNumber));
        QCOMPARE(file, QString("demo.prm"));
        QCOMPARE(view.fieldText(field::kRange), QString("Block 002-005"));

        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame->action(cmd::kErase)->trigger();
        QVERIFY(finished.wait(120000));
        QVERIFY2(Lines(view).contains(">>COMMAND: Erase") && !Lines(view).join('\n').contains("ERROR"),
                 qPrintable(Lines(view).join('|')));
        QByteArray expected = pattern;
        expected.replace(0x2000, 0x4000, QByteArray(0x4000, char(0xFF)));
        QCOMPARE(demo->flash(), expected);
        frame.reset();
    }
#endif
};

QTEST_MAIN(SetupTest)
#include "setup_test.moc"
