// The main window and view with the real library: start-up, preconditions,
// boxes and log lines, Load, enabling rules, Device Setup, failed connects.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <QAction>
#include <QClipboard>
#include <QMenu>
#include <QStatusBar>
#include <QToolBar>

#include "gui_fixture.h"
#include "record/record_store.h"
#include "record/store_common.h"
#include "recording/record_ui.h"
#include "shell/app_paths.h"
#include "shell/about_dlg.h"
#include "shell/profile.h"
#include "view/commands.h"
#include "view/info_panel.h"
#include "view/progress_bar.h"

using namespace guitest;

namespace {

// Answers the Record Settings dialog with `edit` and keeps what History would show.
class ScriptedRecordUi : public RecordUi {
public:
    std::function<void(RecordSettings &)> edit;
    RecordDefaults defaults;
    QList<HistoryView> shown;
    bool editSettings(QWidget *, RecordSettings &values, const RecordDefaults &d) override {
        defaults = d;
        if (!edit) return false;
        edit(values);
        return true;
    }
    void showHistory(QWidget *, const HistoryView &history) override { shown.append(history); }
};

// The far end of a pseudo-terminal that answers each reset handshake with
// `answer` (nothing when empty).
class FakeTarget {
public:
    explicit FakeTarget(QByteArray answer) : answer_(std::move(answer)) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) == 0) slave_ = QString::fromLocal8Bit(name);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeTarget() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (master_ >= 0) ::close(master_);
    }
    QString slavePath() const { return slave_; }

private:
    void run() {
        QByteArray seen;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[64];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            seen.append(buf, n);
            // The handshake ends with 0xFF after 0x01 0x02 0x03.
            if (seen.endsWith(QByteArray("\x01\x02\x03\xFF", 4))) {
                seen.clear();
                if (!answer_.isEmpty()) (void)!::write(master_, answer_.constData(), answer_.size());
            }
        }
    }
    QByteArray answer_;
    int master_ = -1;
    QString slave_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

const QByteArray kPortAndSpeed =
    "[COMM Device]\nPort=6\nSpeed=0\n[Device Setup]\nPowerMessage=0\n[Supply Oscillator]\nFreq=8.00\nMultipy=1.00\n";

// Device Setup answered from a script: `edit` changes the values, the result is OK or Cancel.
class ScriptedSetup : public DeviceSetupDialog {
public:
    std::function<void(DeviceSetupValues &, ParameterRecordSlot &)> edit;
    bool accept = true;
    DeviceSetupValues received;
    bool run(QWidget *, DeviceSetupValues &values, ParameterRecordSlot &record) override {
        received = values;
        if (edit) edit(values, record);
        return accept;
    }
};

}  // namespace

class ViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startUpWithoutProfile() {
        Sandbox box;
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        QCOMPARE(Lines(view), QStringList({">> FlashOpening.... ", "Flash Open OK"}));
        QVERIFY(view.flashHandle());
        QCOMPARE(view.flashHandle()->appWord, 1);
        QCOMPARE(frame->windowTitle(), QString("Quillrom2"));
        QCOMPARE(frame->statusMessage(), QString("Ready"));
        QCOMPARE(view.progressBar()->upper(), 100);
        // The window is fixed to the form plus its bars.
        QCOMPARE(frame->minimumSize(), frame->maximumSize());
        QVERIFY(frame->minimumWidth() >= view.width());
        QCOMPARE(view.size(), view.minimumSize());

        frame.reset();
        Profile saved(box.profile());
        QCOMPARE(saved.readInt("Quillrom2", "Install", 0), 1);
        QCOMPARE(saved.readInt("COMM Device", "Port", 0), -1);
        QVERIFY(!saved.hasKey("Device Setup", "VisiblePower"));
    }

    void preconditions_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<bool>("withPrm");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("second");
        const QString prm = "PRM File is not Read.", load = "Load File is not Read.";
        QTest::newRow("blank check") << cmd::kBlankCheck << false << ">>COMMAND: Blank Check"
                                     << "Please Read a PRM File for BlankCheck." << prm;
        QTest::newRow("erase") << cmd::kErase << false << ">>COMMAND: Erase" << "Please Read a PRM File for Erase." << prm;
        QTest::newRow("program") << cmd::kProgram << false << ">>COMMAND: Program"
                                 << "Please Read a PRM File for Program." << prm;
        QTest::newRow("program, no load file") << cmd::kProgram << true << ">>COMMAND: Program"
                                               << "Please Read a LoadFile for Program." << load;
        QTest::newRow("checksum") << cmd::kChecksum << false << ">>COMMAND: Checksum"
                                  << "Please Read a PRM File for Checksum." << prm;
        QTest::newRow("checksum, no load file") << cmd::kChecksum << true << ">>COMMAND: Checksum"
                                                << "Please Read a LoadFile for Checksum." << load;
        QTest::newRow("auto") << cmd::kAutoprocedure << false << ">>COMMAND: AutoProcedure(Epv)"
                              << "Please Read a PRM File for EPV." << prm;
        QTest::newRow("auto, no load file") << cmd::kAutoprocedure << true << ">>COMMAND: AutoProcedure(Epv)"
                                            << "Please Read a LoadFile for EPV." << load;
    }
    void preconditions() {
        QFETCH(int, command);
        QFETCH(bool, withPrm);
        QFETCH(QString, line);
        QFETCH(QString, box);
        QFETCH(QString, second);
        Sandbox sandbox;
        if (withPrm) sandbox.writeProfile(DemoProfile(false, kPortAndSpeed));
        ScriptedPrompts prompts;
        auto frame = MakeFrame(sandbox, prompts);
        CFLPRRView &view = *frame->view();
        const QStringList before = Lines(view);
        frame->action(command)->trigger();
        QCOMPARE(prompts.boxes.size(), 1);
        QCOMPARE(prompts.boxes[0].text, box);
        QCOMPARE(prompts.boxes[0].icon, BoxIcon::Exclamation);
        // The log is not cleared; the command line comes before the box.
        QCOMPARE(prompts.boxes[0].logWhenShown.split("\r\n").last(), line);
        QCOMPARE(Lines(view), before + QStringList({line, second}));
        QCOMPARE(view.pendingCommand(), 0);
        QVERIFY(!view.busy());
    }

    void startUpReadsRememberedFiles() {
        Sandbox box;
        box.writeProfile(DemoProfile(true, "[COMM Device]\nPort=11\nSpeed=0\n[Operation Mode]\nSupValue=0\n"
                                           "[Supply Oscillator]\nFreq=8.00\nMultipy=1.00\n"));
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        // Right after start-up the Name field shows the remembered file as stored.
        QCOMPARE(view.fieldText(field::kLoadName), QString("demo.hex"));
        QVERIFY(WaitForLoadFile(view));
        QCOMPARE(Lines(view), QStringList({">> FlashOpening.... ", "Flash Open OK", ">> ParameterFile Reading....",
                                           "Success Read ParameterFile.", ">> LoadFile Reading....",
                                           "Success read HEX file."}));
        QCOMPARE(view.fieldText(field::kPrmName), QString("QM17F064"));
        QCOMPARE(view.fieldText(field::kPrmFormat), QString("0316"));
        QCOMPARE(view.fieldText(field::kPrmVersion), QString("DEMO-A"));
        QCOMPARE(view.fieldText(field::kPort), QString("COM12"));
        QCOMPARE(view.fieldText(field::kSpeed), QString("115200"));
        QCOMPARE(view.fieldText(field::kRange), QString("Chip"));
        QCOMPARE(view.fieldText(field::kFreq), QString("8.00"));
        QCOMPARE(view.fieldText(field::kLoadName), QString("DEMO.HEX"));
        const LoadFileHandle *h = view.loadFileHandle();
        QCOMPARE(view.fieldText(field::kLoadChecksum), QString::asprintf("%04Xh", h->imageChecksum));
        QCOMPARE(view.fieldText(field::kLoadArea),
                 QString::asprintf("%06Xh-%06Xh", h->lowestAddress, h->highestAddress));
        QVERIFY(QRegularExpression("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d$")
                    .match(view.fieldText(field::kLoadDate))
                    .hasMatch());
        QCOMPARE(view.fieldText(field::kDeviceName), QString());  // no connect yet
        QCOMPARE(view.areaRecord().mode, PRR_AREA_CHIP);
        QCOMPARE(view.progressBar()->position(), 0);
    }

    void rememberedFilesGoneOrDamaged() {
        Sandbox box;
        // A parameter file whose checksum no longer matches, and a load file
        // whose first byte fits but whose records do not.
        QFile prm(kSamples + "/demo.prm");
        QVERIFY(prm.open(QIODevice::ReadOnly));
        QByteArray text = prm.readAll();
        text.replace("DEMO-A", "DEMO-B");
        box.write(box.path("changed.prm"), text);
        box.write(box.path("broken.hex"), ":10000000ZZ\n:00000001FF\n");
        box.writeProfile("[Parameter File]\nName=" + QFile::encodeName(box.path("changed.prm")) +
                         "\n[Load File]\nName=" + QFile::encodeName(box.path("broken.hex")) + "\n");
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        QVERIFY(WaitForLoadFile(view));
        QCOMPARE(Lines(view), QStringList({">> FlashOpening.... ", "Flash Open OK", ">> ParameterFile Reading....",
                                           "ParameterFile CHECKSUM Error",
                                           ">>ParameterFile Open Error: " + box.path("changed.prm") +
                                               ": its checksum does not match its contents",
                                           ">> LoadFile Reading....", "Error on Load File"}));
        QVERIFY(!view.deviceParameters());
        QCOMPARE(view.fieldText(field::kPrmName), QString());
        QVERIFY(view.loadFileHandle());  // held, so the load-file precondition passes
        QCOMPARE(view.fieldText(field::kLoadName), QString("broken.hex"));
        frame.reset();

        box.writeProfile("[Parameter File]\nName=/nonexistent/x.prm\n[Load File]\nName=/nonexistent/x.hex\n");
        frame = MakeFrame(box, prompts);
        QCOMPARE(Lines(*frame->view()),
                 QStringList({">> FlashOpening.... ", "Flash Open OK", ">> ParameterFile Reading....",
                              "ParameterFile Read Error", ">>ParameterFile Open Error: /nonexistent/x.prm: no such file",
                              ">>LoadFile Open Error: /nonexistent/x.hex: no such file"}));
        QVERIFY(!frame->view()->loadFileHandle());
        // Gone from the panel, kept in the settings for when the file is back.
        QCOMPARE(frame->view()->fieldText(field::kLoadName), QString());
        QCOMPARE(frame->view()->settings().loadFileName, QString("/nonexistent/x.hex"));
        QVERIFY(prompts.boxes.isEmpty());
    }

    void connectNeedsPortAndSpeed_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("error");
        QTest::newRow("no port") << QByteArray("[COMM Device]\nSpeed=0\n") << "Error : Set CommPort Please.";
        QTest::newRow("port beyond COM255") << QByteArray("[COMM Device]\nPort=300\nSpeed=0\n")
                                            << "Error : Set CommPort Please.";
        QTest::newRow("no speed") << QByteArray("[COMM Device]\nPort=3\n") << "Error : Set CommSpeed Please.";
    }
    void connectNeedsPortAndSpeed() {
        QFETCH(QByteArray, settings);
        QFETCH(QString, error);
        Sandbox box;
        box.writeProfile(DemoProfile(false, settings));
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        frame->action(cmd::kBlankCheck)->trigger();
        QCOMPARE(Lines(view), QStringList({">>COMMAND: Reset", error}));
        QVERIFY(prompts.boxes.isEmpty());
        QVERIFY(!view.busy());
        QVERIFY(frame->action(cmd::kErase)->isEnabled());
    }

    void securityNeedsItsFlagAndARecord() {
        Sandbox box;
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        const QString before = view.logBox()->logText();
        QVERIFY(!frame->action(cmd::kSecurity)->isEnabled());  // no parameter record
        view.onSecurity();
        QCOMPARE(view.logBox()->logText(), before);
        QVERIFY(prompts.boxes.isEmpty());
        frame.reset();

        box.writeProfile(DemoProfile(false, "[COMM Device]\nSpeed=0\n"));
        frame = MakeFrame(box, prompts);
        QVERIFY(frame->action(cmd::kSecurity)->isEnabled());
        frame->view()->settings().securityEnabled = 0;
        frame->view()->onSecurity();
        QCOMPARE(Lines(*frame->view()).last(), QString("Success Read ParameterFile."));
        frame->view()->settings().securityEnabled = 1;
        frame->view()->flashHandle()->appWord = 0;
        frame->updateCommandStates();
        QVERIFY(!frame->action(cmd::kSecurity)->isEnabled());
    }

    void commandStatesFollowEveryEndOfDeviceSetup() {
        // The dialog may read or drop the parameter record whatever its end:
        // the actions must show what the view now has, not what it had.
        Sandbox box;
        box.writeProfile("[COMM Device]\nSpeed=0\n");
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        auto *setup = new ScriptedSetup;
        frame->installDeviceSetup(std::unique_ptr<DeviceSetupDialog>(setup));
        QAction *security = frame->action(cmd::kSecurity);
        QVERIFY(!security->isEnabled());

        struct End {
            const char *name;
            bool accept;
            bool read;  // the page reads the demo file, or drops the record
            int port;   // -1 fails the first check
        } ends[] = {{"cancelled after a read", false, true, 0},
                    {"failed check after dropping the record", true, false, -1},
                    {"failed check after a read", true, true, -1},
                    {"cancelled after dropping the record", false, false, 0}};
        for (const End &e : ends) {
            setup->accept = e.accept;
            setup->edit = [&e](DeviceSetupValues &v, ParameterRecordSlot &record) {
                record.replace(e.read ? PRRReadPRM(QFile::encodeName(kSamples + "/demo.prm").constData(), 0) : nullptr);
                v.standard.port = e.port;
            };
            frame->action(cmd::kSetup)->trigger();
            QVERIFY2(security->isEnabled() == e.read, e.name);
            QCOMPARE(security->isEnabled(), view.isCommandEnabled(cmd::kSecurity));
        }
    }

    void menusToolbarAndAccelerators() {
        Sandbox box;
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        QStringList device;
        for (QAction *a : frame->deviceMenu()->actions()) device << (a->isSeparator() ? "-" : a->text());
        QCOMPARE(device, QStringList({"&Blank Check", "&Erase", "&Program", "&Verify", "-", "&Security", "CheckSu&m",
                                      "-", "&Autoprocedure(EPV)", "-", "Si&gnature read", "-", "S&top"}));
        QStringList tools;
        for (QAction *a : frame->toolBar()->actions()) tools << (a->isSeparator() ? "-" : a->toolTip());
        QCOMPARE(tools, QStringList({"Load", "-", "Blank", "Erase", "Program", "Verify", "-", "Autoprocedure", "-", "Stop"}));
        QCOMPARE(frame->action(cmd::kStop)->shortcut(), QKeySequence(Qt::Key_Escape));
        QCOMPARE(frame->action(cmd::kProgram)->statusTip(), QString("Program the target device."));
        // Device Setup is not offered until its dialog exists.
        QVERIFY(!frame->action(cmd::kSetup));

        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
        for (int id : {cmd::kVerify, cmd::kSignatureRead, cmd::kStop}) QVERIFY(!frame->action(id)->isEnabled());
        for (int id : {cmd::kLoad, cmd::kBlankCheck, cmd::kErase, cmd::kProgram, cmd::kChecksum, cmd::kAutoprocedure})
            QVERIFY(frame->action(id)->isEnabled());
        const QString before = view.logBox()->logText();
        view.logBox()->setFocus();
        QTest::keyClick(view.logBox(), Qt::Key_G, Qt::ControlModifier);
        QTest::keyClick(view.logBox(), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(view.logBox()->logText(), before);
        // In the log, Ctrl+A and Ctrl+C select and copy for a reader; they
        // neither connect nor start the autoprocedure.
        QApplication::clipboard()->clear();
        QTest::keyClick(view.logBox(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(view.logBox(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(view.logBox()->logText(), before);
        QCOMPARE(QApplication::clipboard()->text(), view.logBox()->toPlainText());
        QVERIFY(!view.busy());
        // Elsewhere in the window Ctrl+C is Connect.
        frame->setFocus();
        view.setFocus();
        QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(Lines(view).last(), QString(">COMMAND: Connect"));

        // View toggles hide the bars and carry the check mark; the window refits.
        const QSize full = frame->size();
        frame->action(cmd::kViewToolbar)->trigger();
        QVERIFY(!frame->toolBar()->isVisible());
        QVERIFY(!frame->action(cmd::kViewToolbar)->isChecked());
        QTRY_VERIFY(frame->size().height() < full.height());
        frame->action(cmd::kViewStatusBar)->trigger();
        QVERIFY(!frame->statusBar()->isVisible());
        frame->action(cmd::kViewToolbar)->trigger();
        QVERIFY(frame->action(cmd::kViewToolbar)->isChecked());
        QVERIFY(frame->toolBar()->isVisible());
    }

    void aboutBoxShowsTheVersion() {
        Sandbox box;
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CAboutDlg about(frame.get());
        QCOMPARE(about.windowTitle(), QString("About Quillrom2"));
        QCOMPARE(about.versionText(), QString("1.20b"));
    }

    void loadCommand() {
        Sandbox box;
        box.writeProfile(DemoProfile(false));
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        frame->action(cmd::kLoad)->trigger();
        QCOMPARE(Lines(view).mid(Lines(view).size() - 2),
                 QStringList({">>COMMAND: LoadFile Open", "Cancel Load File."}));
        const OpenFileRequest &r = prompts.fileRequests.at(0);
        const QString all = "*.hex;*.rec;*.s;*.s19;*.srec;*.mot;*.elf;*.axf;*.bin";
        QCOMPARE(r.filters.size(), 5);
        QCOMPARE(r.filters[0].label, "Load files (" + all + ")");
        QCOMPARE(r.filters[0].patterns, all);
        QCOMPARE(r.filters[1].label, QString("S-rec / Hex files (*.rec;*.s;*.hex)"));
        QCOMPARE(r.filters[1].patterns, QString("*.rec;*.s;*.hex"));
        QCOMPARE(r.filters[4].label, QString("All Files (*.*)"));
        QCOMPARE(r.initialName, all);
        QCOMPARE(r.initialFolder, QDir::homePath());  // the user's files, not the program's

        // Two loads in a row: records announced by the first handle, closed
        // by then, must not be fetched from the second.
        prompts.fileAnswers = QStringList({kSamples + "/demo.s19", kSamples + "/demo.hex"});
        QSignalSpy finished(&view, &CFLPRRView::loadFileFinished);
        frame->action(cmd::kLoad)->trigger();
        frame->action(cmd::kLoad)->trigger();
        QCOMPARE(prompts.fileRequests.at(2).initialFolder, kSamples);
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.at(0).at(0).toBool(), true);
        QCOMPARE(view.fieldText(field::kLoadName), QString("DEMO.HEX"));
        QCOMPARE(view.settings().loadFileName, kSamples + "/demo.hex");
        QCOMPARE(Lines(view).count("Success read HEX file."), 1);
        QVERIFY(!Lines(view).contains("Error on Load File"));
        // The choice is on disk before the program ends.
        QCOMPARE(Profile(box.profile()).readText("Load File", "Name", QString()), kSamples + "/demo.hex");

        // A file the reader cannot open: a box naming it and why, a log line,
        // and the image loaded before stays.
        box.write(box.path("empty.hex"), "");
        box.write(box.path("notes.txt"), "hello\n");
        QDir().mkpath(box.path("folder.hex"));
        // Deep enough that the whole path is longer than the reader's 255 bytes.
        const QString deep = box.path(QString(100, 'a') + "/" + QString(100, 'b'));
        QDir().mkpath(deep);
        const QString longName = deep + "/" + QString(60, 'c') + ".hex";
        QFile::copy(kSamples + "/demo.hex", longName);
        struct Failure {
            QString path, why;
        } failures[] = {{box.path("missing.hex"), "no such file"},
                        {box.path("empty.hex"), "the file is empty"},
                        {box.path("folder.hex"), "it is a folder, not a file"},
                        {box.path("notes.txt"), "it is not an Intel HEX, S-record or ELF file (a raw binary is loaded from a .bin file)"},
                        {longName, "its path is longer than the 255 bytes the reader takes"}};
        const LoadFileHandle *kept = view.loadFileHandle();
        for (const Failure &f : failures) {
            prompts.boxes.clear();
            prompts.fileAnswers = QStringList({f.path});
            frame->action(cmd::kLoad)->trigger();
            QCOMPARE(prompts.boxes.size(), 1);
            QCOMPARE(prompts.boxes[0].text, QString("Cannot open the load file\n%1:\n%2.").arg(f.path, f.why));
            QCOMPARE(Lines(view).last(), QString(">>LoadFile Open Error: %1: %2").arg(f.path, f.why));
            QCOMPARE(view.loadFileHandle(), kept);
            QCOMPARE(view.settings().loadFileName, kSamples + "/demo.hex");
        }
    }

    // Add to Load merges files into one image; a raw binary is asked for
    // its address (offered the one it had), an overlap is named, and the
    // profile brings the whole list back.
    void loadSeveralSources() {
        Sandbox box;
        box.writeProfile(DemoProfile(false));
        ScriptedPrompts prompts;
        const QString hex = kSamples + "/demo.hex", bin = box.path("cal.bin");
        box.write(bin, QByteArray(16, '\x5A'));
        {
            auto frame = MakeFrame(box, prompts);
            CFLPRRView &view = *frame->view();
            QSignalSpy finished(&view, &CFLPRRView::loadFileFinished);
            struct Step {
                int command;
                QString file, address;  // the address typed for a binary
                bool loads;
                QString offered;        // the address the box offers; empty: no box
            } steps[] = {
                {cmd::kLoad, hex, {}, true, {}},
                {cmd::kAddLoad, bin, "0x9000", true, "0x0"},
                {cmd::kAddLoad, bin, "16", false, "0x9000"},  // onto the HEX's data
                {cmd::kAddLoad, bin, "0x9000", true, "0x10"},
            };
            for (const Step &step : steps) {
                prompts.fileAnswers = {step.file};
                prompts.textAnswers = step.address.isEmpty() ? QStringList() : QStringList{step.address};
                const qsizetype asked = prompts.textQuestions.size();
                frame->action(step.command)->trigger();
                QVERIFY(finished.wait(20000));
                QCOMPARE(finished.last().at(0).toBool(), step.loads);
                QCOMPARE(prompts.textQuestions.size(), asked + (step.offered.isEmpty() ? 0 : 1));
                if (!step.offered.isEmpty()) QCOMPARE(prompts.textQuestions.last().initial, step.offered);
            }
            QVERIFY2(Lines(view).contains(">>LoadFile Error: " + hex + " and " + bin + " both write 0x10"), qPrintable(Lines(view).join("\n")));
            QCOMPARE(Lines(view).last(), QString("Success read HEX file."));
            QVERIFY(Lines(view).contains(">>LoadFile Sources: " + hex + ", " + bin + "@0x9000"));
            QCOMPARE(view.fieldText(field::kLoadName), QString("DEMO.HEX +1"));
            QCOMPARE(view.loadFileHandle()->highestAddress, 0x900Fu);
            QCOMPARE(view.loadFileHandle()->imageBuffer[0x9000], 0x5A);
        }
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        QVERIFY(WaitForLoadFile(view));
        QCOMPARE(view.fieldText(field::kLoadName), QString("DEMO.HEX +1"));
        QCOMPARE(view.loadFileHandle()->highestAddress, 0x900Fu);
        QCOMPARE(view.settings().loadSources.size(), 2);
    }

    void failedConnectWithoutAPort() {
        // COM7 names nothing: the port cannot be opened (only logged), the
        // handshake then fails in the connect, and the USB box follows.
        Rig rig;
        CFLPRRView &view =
            rig.openOnMissingPort("[Device Setup]\nPowerMessage=0\n[Supply Oscillator]\nFreq=8.00\nMultipy=1.00\n");
        ScriptedPrompts &prompts = rig.prompts;
        auto &frame = rig.frame;
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame->action(cmd::kErase)->trigger();
        QVERIFY(view.busy());
        for (int id : {cmd::kErase, cmd::kProgram, cmd::kLoad, cmd::kSecurity}) QVERIFY(!frame->action(id)->isEnabled());
        QVERIFY2(finished.wait(30000), qPrintable(Lines(view).join('|')));
        const QStringList lines = Lines(view);
        QCOMPARE(lines.mid(0, 2), QStringList({">>COMMAND: Reset", "ERROR: COM port open error!"}));
        QVERIFY(!lines.contains(">>COMMAND: Erase"));
        QCOMPARE(prompts.boxes.size(), 1);
        QCOMPARE(prompts.boxes[0].text, QString("Please Setup Device. \r\nPlug and play USB device stack again!"));
        QCOMPARE(prompts.boxes[0].icon, BoxIcon::Stop);
        QCOMPARE(view.pendingCommand(), int(pending::kErase));  // left set
        QVERIFY(frame->action(cmd::kErase)->isEnabled());
    }

    void unusableClockEndsTheCommand() {
        // "abc" reads as 0 MHz; the library refuses both requests before any
        // exchange, and the command is over without a connect record.
        Rig rig;
        CFLPRRView &view =
            rig.openOnMissingPort("[Device Setup]\nPowerMessage=0\n[Supply Oscillator]\nFreq=abc\nMultipy=1.00\n");
        ScriptedPrompts &prompts = rig.prompts;
        auto &frame = rig.frame;
        QCOMPARE(view.currentResetRecord().frequency, 0.0);
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame->action(cmd::kErase)->trigger();
        QVERIFY2(finished.wait(20000), qPrintable(Lines(view).join('|')));
        QCOMPARE(Lines(view), QStringList({">>COMMAND: Reset", "ERROR: Illegal parameter!", "ERROR: Illegal parameter!"}));
        QVERIFY(prompts.boxes.isEmpty());
        QVERIFY(frame->action(cmd::kErase)->isEnabled());
    }

    void powerBoxBetweenTheTwoRequests() {
        Rig rig;
        CFLPRRView &view =
            rig.openOnMissingPort("[Device Setup]\nPowerMessage=1\n[Supply Oscillator]\nFreq=8.00\nMultipy=1.00\n");
        ScriptedPrompts &prompts = rig.prompts;
        auto &frame = rig.frame;
        // While the box is open, the preparation request's records still arrive.
        prompts.whileOpen = [&](const QString &text) {
            if (text == "Please Turn off->on Target power.")
                QTRY_VERIFY_WITH_TIMEOUT(Lines(view).contains("ERROR: COM port open error!"), 20000);
        };
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame->action(cmd::kBlankCheck)->trigger();
        QCOMPARE(prompts.boxes.at(0).text, QString("Please Turn off->on Target power."));
        QCOMPARE(prompts.boxes.at(0).icon, BoxIcon::Exclamation);
        QCOMPARE(prompts.boxes.at(0).logWhenShown, QString(">>COMMAND: Reset"));
        QVERIFY(finished.wait(30000));
        QCOMPARE(prompts.boxes.size(), 2);  // then the USB box of the failed connect
    }

    void handshakeFailureClosesThePort_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("error");
        QTest::newRow("silent target") << QByteArray() << "ERROR: Time-Out Error of read from device!";
        // A refused handshake reports "retry count <n>" (percent 100 in the
        // connect) before its error: that line must not start the command.
        QTest::newRow("refused handshake") << QByteArray("\x00\x00\x00\x00\x15", 5) << "ERROR: Retry status over!";
    }
    void handshakeFailureClosesThePort() {
        QFETCH(QByteArray, answer);
        QFETCH(QString, error);
        FakeTarget target(answer);
        QVERIFY(!target.slavePath().isEmpty());
        Sandbox box;
        box.alias(7, target.slavePath());
        box.writeProfile(DemoProfile(false, kPortAndSpeed));
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame->action(cmd::kErase)->trigger();
        QVERIFY(finished.wait(60000));
        const QStringList lines = Lines(view);
        QCOMPARE(lines.mid(0, 4),
                 QStringList({">>COMMAND: Reset", "Flash Resetting...", "OK.", "sending reset command..."}));
        QCOMPARE(lines.last(), error);
        QVERIFY(!lines.contains(">>COMMAND: Erase"));
        QCOMPARE(prompts.boxes.size(), 1);
        QCOMPARE(prompts.boxes[0].icon, BoxIcon::Stop);
        QCOMPARE(view.flashHandle()->port, PRR_INVALID_PORT);
        QCOMPARE(view.fieldText(field::kDeviceName), QString());  // a failed connect changes nothing
        QCOMPARE(view.fieldText(field::kFirmVersion), QString());
    }

    void deviceSetup() {
        Sandbox box;
        box.writeProfile(DemoProfile(false, "[COMM Device]\nPort=-1\n[Parameter File]\nIndex=0\n"));
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        auto *setup = new ScriptedSetup;
        frame->installDeviceSetup(std::unique_ptr<DeviceSetupDialog>(setup));
        QAction *action = frame->action(cmd::kSetup);
        QVERIFY(action && action->isEnabled());
        QCOMPARE(frame->toolBar()->actions().first(), action);
        QCOMPARE(frame->deviceMenu()->actions().at(frame->deviceMenu()->actions().size() - 2), action);

        // Values in: defaults from the parameter file fill what is empty.
        setup->accept = false;
        action->trigger();
        QCOMPARE(Lines(view).mid(Lines(view).size() - 2),
                 QStringList({">>COMMAND: Device Setup", "Cancel Device Setup."}));
        const DeviceParameters *prm = view.deviceParameters();
        QCOMPARE(setup->received.standard.freq, QString::asprintf("%.2f", prm->typeSet7));
        QCOMPARE(setup->received.standard.prmPath, kSamples + "/demo.prm");
        QCOMPARE(setup->received.standard.prmListIndex, 0);
        QCOMPARE(setup->received.standard.selStart, QString::asprintf("%06X", prm->typeSet11));
        QCOMPARE(setup->received.advance.securityEnabled, 1);

        // No port chosen: the first check fails and marks the setup rejected.
        setup->accept = true;
        action->trigger();
        QCOMPARE(prompts.boxes.last().text, QString("None Select Port ComboBox. Retry Please."));
        QCOMPARE(view.settings().prmIndex, -1);

        // Everything given: values stored, panel refreshed.
        setup->edit = [](DeviceSetupValues &v, ParameterRecordSlot &) {
            v.standard.port = 11;
            v.standard.speedIndex = 0;
            v.standard.supValue = 1;
            v.standard.showStart = 0;
            v.standard.showEnd = 7;
            v.advance.optVeri = 1;
            v.advance.optSum = 1;
            v.advance.powerMessage = 1;
        };
        const int boxes = prompts.boxes.size();
        action->trigger();
        QCOMPARE(prompts.boxes.size(), boxes);
        QCOMPARE(Lines(view).last(), QString("PRM File Read OK."));
        QCOMPARE(view.settings().portIndex, 11);
        QCOMPARE(view.settings().commandOptions, 10);
        QCOMPARE(view.settings().powerMessage, 1);
        QCOMPARE(view.fieldText(field::kPort), QString("COM12"));
        QCOMPARE(view.fieldText(field::kRange), QString("Block 000-007"));
        QCOMPARE(view.areaRecord().mode, PRR_AREA_BLOCK);
        QCOMPARE(view.areaRecord().last, 7);
        // On disk at once, not only at exit.
        QCOMPARE(Profile(box.profile()).readInt("COMM Device", "Port", -1), 11);
        QCOMPARE(setup->received.standard.prmFolders, ParameterFolders(QDir::tempPath() + "/"));

        // The page dropped the parameter record: values up to the range are
        // stored, then the missing file is reported without touching Index.
        setup->edit = [](DeviceSetupValues &v, ParameterRecordSlot &record) {
            record.replace(nullptr);
            v.standard.port = 2;
            v.standard.speedIndex = 0;
            v.standard.freq = "4.00";
            v.standard.supValue = 0;
        };
        view.settings().prmIndex = 0;
        action->trigger();
        QCOMPARE(prompts.boxes.last().text, QString("None Input Parameter File. Retry Please."));
        QCOMPARE(view.settings().portIndex, 2);
        QCOMPARE(view.settings().freq, QString("4.00"));
        QCOMPARE(view.settings().supValue, 0);
        QCOMPARE(view.settings().prmIndex, 0);
        QVERIFY(!view.deviceParameters());
    }

    // Record Settings keep their choices in the profile and History reads
    // the database they name: the newest rows, oldest first, and today's yield.
    void recordSettingsAndHistory() {
        Sandbox box;
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        auto ui = std::make_unique<ScriptedRecordUi>();
        ScriptedRecordUi &recordUi = *ui;
        view.setRecordUi(std::move(ui));
        QCOMPARE(frame->action(cmd::kRecordSettings)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
        QCOMPARE(frame->action(cmd::kHistory)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_H));
        const QString url = "sqlite:" + box.path("line.db");
        recordUi.edit = [&](RecordSettings &v) {
            v.database = url;
            v.station = "line-3";
            v.operatorName = "";
        };
        frame->action(cmd::kRecordSettings)->trigger();
        QCOMPARE(recordUi.defaults.database, "sqlite:" + box.recordPath());
        const Profile saved(box.profile());
        QCOMPARE(saved.readText("Record", "Database", QString()), url);
        QCOMPARE(saved.readText("Record", "Station", QString()), QString("line-3"));
        QCOMPARE(view.recordOptions().station, std::string("line-3"));
        QCOMPARE(view.recordOptions().operatorName, quillrecord::LoginName());
        // One run's --db wins over the settings; demo mode records only with one.
        view.setRecordDatabase(QString(), true);
        QVERIFY(!view.recordOptions().enabled);
        view.setRecordDatabase(url, true);
        QVERIFY(view.recordOptions().enabled);
        view.setRecordDatabase(QString(), false);

        std::string why;
        auto store = quillrecord::OpenRecordStore(url.toStdString(), &why);
        QVERIFY2(store, why.c_str());
        const std::string now = quillrecord::UtcNow();
        for (int i = 0; i < CFLPRRView::kHistoryRows + 5; ++i) {
            quillrecord::RunRow r;
            r.startedUtc = i < 5 ? "2026-01-01T00:00:00.000Z" : now;
            r.station = "line-3";
            r.result = i % 10 == 0 ? "failed" : "ok";
            r.command = "program";
            QVERIFY2(store->WriteRun(&r, &why), why.c_str());
        }
        frame->action(cmd::kHistory)->trigger();
        QCOMPARE(recordUi.shown.size(), 1);
        const HistoryView &h = recordUi.shown[0];
        QCOMPARE(h.rows.size(), size_t(CFLPRRView::kHistoryRows));
        QCOMPARE(QString::fromStdString(h.rows.front().startedUtc), QString::fromStdString(now));
        QCOMPARE(h.today.size(), size_t{1});
        QCOMPARE(h.today[0].runs, int64_t{CFLPRRView::kHistoryRows});
        QCOMPARE(h.today[0].failed, int64_t{CFLPRRView::kHistoryRows / 10});
        QCOMPARE(YieldCells(h.today)[0].last(), QString("90.0 %"));
    }

    void damagedProfileStillStarts() {
        Sandbox box;
        box.writeProfile("[COMM Device]\nPort=2147483647\nSpeed=-2147483648\n[Operation Mode]\nSupValue=junk\n"
                         "ShowStart=99999999999\nShowAddr=1\n[Command Options]\nVeri=x\n[Device Setup]\nPowerMessage=7\n"
                         "[Parameter File]\nName=" + QFile::encodeName(kSamples) + "/demo.prm\n");
        ScriptedPrompts prompts;
        auto frame = MakeFrame(box, prompts);
        CFLPRRView &view = *frame->view();
        QCOMPARE(Lines(view).last(), QString("Success Read ParameterFile."));
        QCOMPARE(view.fieldText(field::kPort), QString());
        QCOMPARE(view.fieldText(field::kSpeed), QString());
        frame->action(cmd::kErase)->trigger();
        QCOMPARE(Lines(view), QStringList({">>COMMAND: Reset", "Error : Set CommPort Please."}));
    }
};

QTEST_MAIN(ViewTest)
#include "view_test.moc"
