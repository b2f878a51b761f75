// Shared pieces of the GUI tests: scripted boxes and dialogs, a private
// profile and COM alias folder, and the log as a list of lines.
#pragma once

#include <functional>
#include <memory>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "shell/main_frame.h"
#include "shell/prompts.h"
#include "view/flprr_view.h"
#include "view/log_box.h"

namespace guitest {

inline const QString kSamples = QStringLiteral(QUILLROM_SAMPLES_DIR);

// Answers the program's questions from a script and remembers them.
class ScriptedPrompts : public Prompts {
public:
    struct Box {
        QString text;
        BoxIcon icon;
        QString logWhenShown;  // the log's text as the box opened
        QString caption = kProgramCaption;
        bool withCancel = false;
        QString okText;
    };
    QList<Box> boxes;
    QList<bool> answers;  // for boxes with a Cancel button: OK (true) when none is left
    QList<OpenFileRequest> fileRequests;
    QStringList fileAnswers;  // empty answer = cancel
    // Runs while a box is "open"; the program's event loop keeps going there.
    std::function<void(const QString &)> whileOpen;
    CFLPRRView *view = nullptr;

    void message(QWidget *, const QString &text, BoxIcon icon) override {
        boxes.append({text, icon, view ? view->logBox()->logText() : QString(), kProgramCaption, false, QString()});
        if (whileOpen) whileOpen(text);
    }
    bool ask(QWidget *, const BoxQuestion &q) override {
        boxes.append({q.text, q.icon, view ? view->logBox()->logText() : QString(), q.caption, q.withCancel, q.okText});
        if (whileOpen) whileOpen(q.text);
        return !q.withCancel || answers.isEmpty() || answers.takeFirst();
    }
    QString openFile(QWidget *, const OpenFileRequest &request) override {
        fileRequests.append(request);
        return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
    }
    QList<TextQuestion> textQuestions;
    QStringList textAnswers;  // none left: cancel
    bool askText(QWidget *, const TextQuestion &q, QString *answer) override {
        textQuestions.append(q);
        if (textAnswers.isEmpty()) return false;
        *answer = textAnswers.takeFirst();
        return true;
    }
};

// A temporary folder holding the profile and the COM alias folder the
// library looks in.
class Sandbox {
public:
    Sandbox() {
        ports_ = dir_.filePath("ports");
        QDir().mkpath(ports_);
        qputenv("QUILLROM_PORTS_DIR", QFile::encodeName(ports_));
        // Device commands are recorded; the record goes to the sandbox's own data folder.
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir_.filePath("data")));
    }
    // The record the program writes by default.
    QString recordPath() const { return dir_.filePath("data/quillrom/history.db"); }
    QString profile() const { return dir_.filePath("Quillrom2.INI"); }
    QString path(const QString &name) const { return dir_.filePath(name); }
    QString portsDir() const { return ports_; }

    void writeProfile(const QByteArray &text) const { write(profile(), text); }
    static void write(const QString &path, const QByteArray &bytes) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    // COM<n> names `target`.
    void alias(int n, const QString &target) const {
        const QString link = ports_ + QStringLiteral("/COM%1").arg(n);
        QFile::remove(link);
        QVERIFY(QFile::link(target, link));
    }

private:
    QTemporaryDir dir_;
    QString ports_;
};

// A profile with the demo parameter file and, optionally, the load file.
inline QByteArray DemoProfile(bool withLoadFile, const QByteArray &more = {}) {
    QByteArray text = "[Parameter File]\nName=" + QFile::encodeName(kSamples) + "/demo.prm\n";
    if (withLoadFile) text += "[Load File]\nName=" + QFile::encodeName(kSamples) + "/demo.hex\n";
    return text + more;
}

inline QStringList Lines(const CFLPRRView &view) {
    const QString text = view.logBox()->logText();
    return text.isEmpty() ? QStringList() : text.split(QStringLiteral("\r\n"));
}

inline std::unique_ptr<CMainFrame> MakeFrame(const Sandbox &box, ScriptedPrompts &prompts) {
    auto frame = std::make_unique<CMainFrame>(box.profile(), QDir::tempPath() + QLatin1Char('/'), prompts);
    prompts.view = frame->view();
    return frame;
}

// One window on a sandbox of its own, opened once its profile is written.
struct Rig {
    Sandbox box;
    ScriptedPrompts prompts;
    std::unique_ptr<CMainFrame> frame;

    CFLPRRView &open(const QByteArray &profile) {
        box.writeProfile(profile);
        frame = MakeFrame(box, prompts);
        return *frame->view();
    }
    // COM7 names no device; the profile chooses it, with the demo parameter
    // file and `more` after it.
    CFLPRRView &openOnMissingPort(const QByteArray &more) {
        box.alias(7, box.path("no-such-device"));
        return open(DemoProfile(false, "[COMM Device]\nPort=6\nSpeed=0\n" + more));
    }
};

// Waits until the load file's reader has reported its end.
inline bool WaitForLoadFile(CFLPRRView &view, int timeoutMs = 20000) {
    if (!view.loadFileHandle()) return false;
    QSignalSpy spy(&view, &CFLPRRView::loadFileFinished);
    return spy.wait(timeoutMs);
}

}  // namespace guitest
