// Device commands through the main window against the virtual target:
// the log lines in order, the progress bar, the panel and the target's flash.
#include <QAction>

#include "gui_fixture.h"
#include "record/record_store.h"
#include "shell/demo_mode.h"
#include "sim/virtual_target.h"
#include "view/commands.h"
#include "view/info_panel.h"
#include "view/progress_bar.h"

using namespace guitest;

namespace {

constexpr int kCommandMs = 120000;  // a connect alone waits more than 2 s
constexpr int kCom = 9;

const QStringList kConnectLines = {">>COMMAND: Reset", "Flash Resetting...", "OK.", "sending reset command...",
                                   "OK.", ""};

// Index of each wanted line in `lines`, in order; -1 where one is missing.
int FindInOrder(const QStringList &lines, const QStringList &wanted) {
    int at = 0;
    for (const QString &w : wanted) {
        at = lines.indexOf(w, at);
        if (at < 0) return -1;
        ++at;
    }
    return at;
}

// The rows the program recorded in `url`, oldest first.
std::vector<quillrecord::RunRow> Recorded(const QString &url) {
    std::string why;
    std::vector<quillrecord::RunRow> rows;
    auto store = quillrecord::OpenRecordStore(url.toStdString(), &why);
    if (!store || !store->Query({}, &rows, &why)) qWarning("cannot read the record: %s", why.c_str());
    return rows;
}

QByteArray Image(const CFLPRRView &view, uint32_t size) {
    const LoadFileHandle *h = view.loadFileHandle();
    return QByteArray(reinterpret_cast<const char *>(h->imageBuffer), size);
}

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        target_ = std::make_unique<quillsim::VirtualTarget>(QFile::encodeName(kSamples + "/demo.prm").toStdString());
        target_->start();
        box_ = std::make_unique<Sandbox>();
        target_->registerAlias(kCom, QFile::encodeName(box_->portsDir()).toStdString());
        prompts_ = ScriptedPrompts();  // each case sees only its own boxes
    }
    void cleanup() {
        frame_.reset();
        target_.reset();
        box_.reset();
    }

    void eraseChip() {
        const std::vector<uint8_t> data(0x300, 0x5A);
        target_->setFlash(0x1000, data);
        start("[Command Options]\nBlk=0\nVeri=0\nSec=0\nSum=0\n");
        CFLPRRView &view = *frame_->view();
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame_->action(cmd::kErase)->trigger();
        QVERIFY(view.busy());
        QVERIFY(finished.wait(kCommandMs));

        const QStringList lines = Lines(view);
        QCOMPARE(lines.mid(0, kConnectLines.size() + 2), kConnectLines + QStringList({">>COMMAND: Erase", "Flash Erasing..."}));
        QCOMPARE(lines.last(), QString("chip erase finish."));
        const std::vector<uint8_t> flash = target_->flash();
        QVERIFY(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
        QCOMPARE(view.progressBar()->position(), 0);
        // The Device group shows the connect's final record.
        QCOMPARE(view.fieldText(field::kFirmVersion), QString("0.00"));
        QCOMPARE(view.fieldText(field::kExtCode), QString("0000h"));
        QCOMPARE(view.fieldText(field::kVendor), QString("00h"));
        QVERIFY(frame_->action(cmd::kErase)->isEnabled());
    }

    void programAndVerify() {
        start("[Command Options]\nBlk=0\nVeri=1\nSec=0\nSum=0\n");
        CFLPRRView &view = *frame_->view();
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame_->action(cmd::kProgram)->trigger();
        // Nothing may start a second command while this one runs.
        for (int id : {cmd::kErase, cmd::kProgram, cmd::kAutoprocedure, cmd::kLoad})
            QVERIFY(!frame_->action(id)->isEnabled());
        QVERIFY(finished.wait(kCommandMs));

        const QStringList lines = Lines(view);
        QCOMPARE(lines.mid(0, kConnectLines.size() + 2),
                 kConnectLines + QStringList({">>COMMAND: Program", "Flash Programming Start..."}));
        QVERIFY2(FindInOrder(lines, {"Flash Programming finish!", "Flash Verifying Start...", "Flash Verifying finish!"}) ==
                     lines.size(),
                 qPrintable(lines.join('|')));
        QVERIFY(!lines.join('\n').contains("ERROR"));
        const uint32_t size = target_->flashSize();
        const std::vector<uint8_t> flash = target_->flash();
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(flash.data()), size), Image(view, size));
        QCOMPARE(view.progressBar()->position(), 0);
        QVERIFY(frame_->action(cmd::kProgram)->isEnabled());

        // A second command on the port the first one left open.
        frame_->action(cmd::kChecksum)->trigger();
        QVERIFY(finished.wait(kCommandMs));
        const QStringList again = Lines(view);
        QCOMPARE(again.first(), QString(">>COMMAND: Reset"));
        QVERIFY2(FindInOrder(again, {">>COMMAND: Checksum", "CheckSum Read Start...", "CHECKSUM COMPARE: OK"}) ==
                     again.size(),
                 qPrintable(again.join('|')));

        // Each command has its row in the record quillrom keeps, with what it came to.
        const std::vector<quillrecord::RunRow> rows = Recorded(box_->recordPath());
        QCOMPARE(rows.size(), size_t{2});
        QCOMPARE(QString::fromStdString(rows[0].command), QString("program"));
        QCOMPARE(QString::fromStdString(rows[0].result), QString("ok"));
        QCOMPARE(QString::fromStdString(rows[0].statusText), QString("Flash Verifying finish!"));
        QCOMPARE(rows[0].bytesProgrammed, int64_t{size});
        QCOMPARE(QString::fromStdString(rows[0].portName), QString("COM%1").arg(kCom));
        QCOMPARE(QString::fromStdString(rows[0].station), QString::fromStdString(view.recordOptions().station));
        QVERIFY(QString::fromStdString(rows[0].log).startsWith(">>COMMAND: Reset\nFlash Resetting..."));
        QCOMPARE(QString::fromStdString(rows[1].command), QString("checksum"));
        QCOMPARE(QString::fromStdString(rows[1].checksumCompare), QString("ok"));
        QCOMPARE(rows[1].bytesProgrammed, int64_t{0});
    }

    // A database that cannot be written is said before the device hears anything.
    void recordThatCannotBeWritten() {
        Sandbox::write(box_->path("blocker"), "a file, so no folder can be made under it");
        start("[Command Options]\nBlk=0\nVeri=0\nSec=0\nSum=0\n[Record]\nDatabase=sqlite:" +
              QFile::encodeName(box_->path("blocker")) + "/history.db\n");
        CFLPRRView &view = *frame_->view();
        frame_->action(cmd::kErase)->trigger();
        QVERIFY(!view.busy());
        QCOMPARE(prompts_.boxes.size(), 1);
        QVERIFY2(prompts_.boxes[0].text.startsWith("Cannot record the run\n"), qPrintable(prompts_.boxes[0].text));
        QVERIFY(Lines(view).last().startsWith(">>Record Error: "));
        QCOMPARE(target_->framesReceived(), uint64_t{0});
        QVERIFY(frame_->action(cmd::kErase)->isEnabled());
    }

    void targetVanishesMidCommand() {
        start("[Command Options]\nBlk=0\nVeri=1\nSec=0\nSum=0\n");
        CFLPRRView &view = *frame_->view();
        // The handshake and a few pages are answered, then the port is gone.
        std::string error;
        QVERIFY2(target_->addFault("vanish:after=4", &error), error.c_str());
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame_->action(cmd::kProgram)->trigger();
        QVERIFY(finished.wait(kCommandMs));
        const QStringList lines = Lines(view);
        QVERIFY(lines.contains(">>COMMAND: Program"));
        QVERIFY2(lines.last().startsWith("ERROR: "), qPrintable(lines.join('|')));
        QCOMPARE(view.progressBar()->position(), 100);  // left at the error record's percentage
        QVERIFY(frame_->action(cmd::kProgram)->isEnabled());
        const std::vector<quillrecord::RunRow> rows = Recorded(box_->recordPath());
        QCOMPARE(rows.size(), size_t{1});
        QCOMPARE(QString::fromStdString(rows[0].result), QString("failed"));
        QCOMPARE(QString::fromStdString(rows[0].statusText), lines.last());
        QVERIFY(rows[0].finalStatus != 0);
    }

    // Stop in the middle of a program at the wire's pace: the target keeps
    // what was written, the log ends with the library's words, and the next
    // Program runs on as usual.
    void stopDuringProgram() {
        target_->setPacingBaud(115200);
        start("[Command Options]\nBlk=0\nVeri=0\nSec=0\nSum=0\n");
        CFLPRRView &view = *frame_->view();
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        QVERIFY(!frame_->action(cmd::kStop)->isEnabled());
        frame_->action(cmd::kProgram)->trigger();
        QVERIFY(frame_->action(cmd::kStop)->isEnabled());
        // A few pages in (each page is a program and an internal verify frame).
        const uint64_t before = target_->framesReceived();
        QTRY_VERIFY_WITH_TIMEOUT(target_->framesReceived() >= before + 30, kCommandMs);
        frame_->action(cmd::kStop)->trigger();
        QVERIFY2(!frame_->action(cmd::kStop)->isEnabled(), "pressed once");
        QVERIFY(finished.wait(kCommandMs));
        const QStringList lines = Lines(view);
        QVERIFY2(lines.contains(">>COMMAND: Stop") && lines.last() == "Sequence Aborted.", qPrintable(lines.join('|')));
        QVERIFY(!frame_->action(cmd::kStop)->isEnabled());
        const uint32_t size = target_->flashSize();
        const QByteArray image = Image(view, size);
        std::vector<uint8_t> flash = target_->flash();
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(flash.data()), 256), image.left(256));
        QVERIFY2(QByteArray(reinterpret_cast<const char *>(flash.data()), size) != image, "stopped before the end");
        QVERIFY(prompts_.boxes.isEmpty());

        target_->setPacingBaud(0);
        frame_->action(cmd::kProgram)->trigger();
        QVERIFY(finished.wait(kCommandMs));
        QCOMPARE(Lines(view).last(), QString("Flash Internal Verify OK!"));
        flash = target_->flash();
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(flash.data()), size), image);
    }

    // Closing the window while a command runs asks first; Cancel keeps it
    // running, "Stop and quit" stops it and then closes.
    void closeWhileACommandRuns() {
        target_->setPacingBaud(115200);
        start("[Command Options]\nBlk=0\nVeri=0\nSec=0\nSum=0\n");
        CFLPRRView &view = *frame_->view();
        frame_->show();
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame_->action(cmd::kProgram)->trigger();
        const uint64_t before = target_->framesReceived();
        QTRY_VERIFY_WITH_TIMEOUT(target_->framesReceived() >= before + 10, kCommandMs);
        prompts_.answers = {false, true};
        QVERIFY(!frame_->close());
        QCOMPARE(prompts_.boxes.size(), 1);
        QCOMPARE(prompts_.boxes[0].text, QString("A command is running. Stop it and quit?"));
        QCOMPARE(prompts_.boxes[0].okText, QString("Stop and quit"));
        QVERIFY(view.busy());
        QVERIFY(frame_->isVisible());

        QVERIFY2(!frame_->close(), "the close waits for the stop");
        QVERIFY(finished.wait(kCommandMs));
        QTRY_VERIFY(!frame_->isVisible());
        QCOMPARE(Lines(view).last(), QString("Sequence Aborted."));
        QCOMPARE(prompts_.boxes.size(), 2);
    }

    // The demo as a newcomer meets it: Autoprocedure with the demo's options.
    void demoAutoprocedure() {
        target_.reset();
        QString error;
        std::unique_ptr<DemoEnvironment> demo = DemoEnvironment::start(&error);
        QVERIFY2(demo, qPrintable(error));
        ScriptedPrompts prompts;
        frame_ = std::make_unique<CMainFrame>(demo->profilePath(), QDir::tempPath() + "/", prompts);
        CFLPRRView &view = *frame_->view();
        QVERIFY(WaitForLoadFile(view));
        QSignalSpy finished(&view, &CFLPRRView::deviceCommandFinished);
        frame_->action(cmd::kAutoprocedure)->trigger();
        QVERIFY(finished.wait(kCommandMs));
        const QStringList lines = Lines(view);
        QVERIFY2(FindInOrder(lines, {">>COMMAND: AutoProcedure(Epv)", "Flash Blank Checking...", "skip erase.",
                                     "Flash Programming finish!", "Flash Verifying finish!",
                                     "CHECKSUM COMPARE: OK"}) == lines.size(),
                 qPrintable(lines.join('|')));
        QVERIFY(prompts.boxes.isEmpty());
        const QByteArray flash = demo->flash();
        QCOMPARE(flash, Image(view, static_cast<uint32_t>(flash.size())));
        frame_.reset();
    }

private:
    void start(const QByteArray &options) {
        box_->writeProfile(DemoProfile(true, QByteArray("[COMM Device]\nPort=") + QByteArray::number(kCom - 1) +
                                                 "\nSpeed=0\n[Device Setup]\nPowerMessage=0\n[Operation Mode]\n"
                                                 "SupValue=0\n[Supply Oscillator]\nFreq=8.00\nMultipy=1.00\n" +
                                                 options));
        frame_ = MakeFrame(*box_, prompts_);
        QVERIFY(WaitForLoadFile(*frame_->view()));
    }

    std::unique_ptr<quillsim::VirtualTarget> target_;
    std::unique_ptr<Sandbox> box_;
    ScriptedPrompts prompts_;
    std::unique_ptr<CMainFrame> frame_;
};

QTEST_MAIN(EndToEndTest)
#include "e2e_test.moc"
