#include "shell/flprr_app.h"

#include <cstdio>

#include <QAction>
#include <QCommandLineParser>
#include <QFile>
#include <QTabWidget>
#include <QTimer>

#include "setup/setup_sheet.h"
#include "shell/app_paths.h"
#include "shell/demo_mode.h"
#include "shell/main_frame.h"
#include "shell/prompts.h"
#include "shell/stop_signals.h"
#include "view/commands.h"
#include "view/flprr_view.h"

namespace {

// Longest a --demo-autorun command may take before the run counts as failed.
constexpr int kAutorunLimitMs = 180000;

int CommandId(const QString &name) {
    if (name == QLatin1String("blank-check")) return cmd::kBlankCheck;
    if (name == QLatin1String("erase")) return cmd::kErase;
    if (name == QLatin1String("program")) return cmd::kProgram;
    if (name == QLatin1String("checksum")) return cmd::kChecksum;
    if (name == QLatin1String("auto")) return cmd::kAutoprocedure;
    return 0;
}

}  // namespace

CFLPRRApp::CFLPRRApp(int &argc, char **argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Quillrom2"));
    setApplicationVersion(QStringLiteral("1.20b"));
}

int CFLPRRApp::run() {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Programs a microcontroller's flash through its serial bootloader."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption demoOption(QStringLiteral("demo"),
                                        QStringLiteral("Run against a virtual target with the sample files."));
    const QCommandLineOption profileOption(QStringLiteral("profile"), QStringLiteral("Settings file to use."),
                                           QStringLiteral("FILE"));
    const QCommandLineOption autorunOption(
        QStringLiteral("demo-autorun"),
        QStringLiteral("Start a device command once the load file is read: blank-check, erase, program, "
                       "checksum or auto."),
        QStringLiteral("COMMAND"));
    const QCommandLineOption screenshotOption(
        QStringLiteral("screenshot"),
        QStringLiteral("With --demo-autorun: save the window as a PNG image when the command ends, then quit. "
                       "With --setup-page: save the Device Setup dialog instead."),
        QStringLiteral("FILE"));
    const QCommandLineOption setupPageOption(
        QStringLiteral("setup-page"),
        QStringLiteral("With --screenshot: open Device Setup on PAGE (standard or advance) and save it."),
        QStringLiteral("PAGE"));
    const QCommandLineOption logOption(QStringLiteral("log"), QStringLiteral("Append every log line to FILE."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption dbOption(
        QStringLiteral("db"),
        QStringLiteral("Record this run's device commands in URL (sqlite:PATH or postgresql://...), whatever the "
                       "Record Settings say; demo mode records only with it."),
        QStringLiteral("URL"));
    parser.addOptions({demoOption, profileOption, autorunOption, screenshotOption, setupPageOption, logOption, dbOption});
    parser.process(*this);

    const int autorun = parser.isSet(autorunOption) ? CommandId(parser.value(autorunOption)) : 0;
    if (parser.isSet(autorunOption) && autorun == 0) {
        std::fprintf(stderr, "quillrom2: unknown command for --demo-autorun: %s\n",
                     qPrintable(parser.value(autorunOption)));
        return 2;
    }
    const QString setupPage = parser.value(setupPageOption);
    if (!setupPage.isEmpty() && setupPage != QLatin1String("standard") && setupPage != QLatin1String("advance")) {
        std::fprintf(stderr, "quillrom2: unknown page for --setup-page: %s\n", qPrintable(setupPage));
        return 2;
    }
    const QString screenshot = parser.value(screenshotOption);
    if (!screenshot.isEmpty() && autorun == 0 && setupPage.isEmpty()) {
        std::fprintf(stderr, "quillrom2: --screenshot needs --demo-autorun or --setup-page\n");
        return 2;
    }
    if (!setupPage.isEmpty() && (screenshot.isEmpty() || autorun != 0)) {
        std::fprintf(stderr, "quillrom2: --setup-page needs --screenshot and no --demo-autorun\n");
        return 2;
    }

    const QString logFile = parser.value(logOption);
    if (!logFile.isEmpty()) {
        // Checked now: the writer drops lines it cannot write.
        QFile file(logFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            std::fprintf(stderr, "quillrom2: cannot write the log file %s: %s\n", qPrintable(logFile),
                         qPrintable(file.errorString()));
            return 3;
        }
    }

    std::unique_ptr<DemoEnvironment> demo;
    QString profilePath = ProfilePath(parser.value(profileOption));
    if (parser.isSet(demoOption)) {
        QString error;
        demo = DemoEnvironment::start(&error);
        if (!demo) {
            std::fprintf(stderr, "quillrom2: demo mode: %s\n", qPrintable(error));
            return 3;
        }
        profilePath = demo->profilePath();
    }

    QtPrompts prompts;
    int exitCode = 0;
    {
        CMainFrame frame(profilePath, ProgramFolder(), prompts, logFile);
        frame.view()->setRecordDatabase(parser.value(dbOption), demo != nullptr);
        frame.installDeviceSetup(std::make_unique<SetupSheetDialog>(prompts));
        frame.show();

        const StopSignals stopSignals(&frame, [&frame] { frame.closeStoppingCommand(); });

        if (!setupPage.isEmpty()) {
            const int page = setupPage == QLatin1String("advance") ? CSetupSheet::kAdvancePage
                                                                   : CSetupSheet::kStandardPage;
            QTimer::singleShot(0, &frame, [&frame, &screenshot, &exitCode, page] {
                // Runs inside the dialog's own event loop, once it is up.
                QTimer::singleShot(0, &frame, [&screenshot, &exitCode, page] {
                    auto *sheet = qobject_cast<CSetupSheet *>(QApplication::activeModalWidget());
                    if (!sheet) {
                        std::fprintf(stderr, "quillrom2: the Device Setup dialog did not open\n");
                        exitCode = 1;
                        return;
                    }
                    sheet->tabs()->setCurrentIndex(page);
                    if (!sheet->grab().save(screenshot, "PNG")) {
                        std::fprintf(stderr, "quillrom2: cannot write %s\n", qPrintable(screenshot));
                        exitCode = 1;
                    }
                    sheet->reject();
                });
                frame.action(cmd::kSetup)->trigger();
                frame.close();
            });
        }

        if (autorun != 0) {
            CFLPRRView *view = frame.view();
            auto press = [&frame, autorun] { frame.action(autorun)->trigger(); };
            // The command needs the load image; start it once the reader is done.
            if (view->loadFileHandle())
                connect(view, &CFLPRRView::loadFileFinished, &frame, press, Qt::SingleShotConnection);
            else
                QTimer::singleShot(0, &frame, press);
            if (!screenshot.isEmpty()) {
                connect(view, &CFLPRRView::deviceCommandFinished, &frame, [&frame, &screenshot, &exitCode] {
                    if (!frame.grab().save(screenshot, "PNG")) {
                        std::fprintf(stderr, "quillrom2: cannot write %s\n", qPrintable(screenshot));
                        exitCode = 1;
                    }
                    frame.close();
                });
                QTimer::singleShot(kAutorunLimitMs, &frame, [&frame, &exitCode] {
                    std::fprintf(stderr, "quillrom2: the command did not end in time\n");
                    exitCode = 1;
                    frame.close();
                });
            }
        }
        const int loopResult = exec();
        if (exitCode == 0) exitCode = loopResult;
    }
    return exitCode;
}
