#include "view/log_box.h"

#include "quillctl.h"

#include <QFile>
#include <QKeyEvent>
#include <QScrollBar>

LogBox::LogBox(QWidget *parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setUndoRedoEnabled(false);
}

void LogBox::appendLine(const QString &line) {
    if (!mirror_.isEmpty()) {
        // The library's writer, as the command line uses: a bench session
        // leaves the same kind of record either way.
        const QByteArray path = QFile::encodeName(mirror_);
        const QByteArray text = line.toLocal8Bit().left(254);
        PRRLogWrite(path.constData(), "%s\n", text.constData());
    }
    if (logText_.isEmpty()) {
        // First line, or the first after a clear: it replaces whatever the box shows.
        logText_ = line;
        setPlainText(line);
    } else {
        logText_ += QStringLiteral("\r\n") + line;
        appendPlainText(line);
    }
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void LogBox::clearLog() { logText_.clear(); }

bool LogBox::event(QEvent *event) {
    // A reader of the log copies from it: Ctrl+C and Ctrl+A stay with the box
    // while it has the focus (Connect and Autoprocedure are in the menu and
    // work from everywhere else). Its other Ctrl keys would only shadow the
    // window's accelerators; let those through.
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::SelectAll)) {
            event->accept();
            return true;
        }
        if (key->modifiers() & Qt::ControlModifier) {
            event->ignore();
            return true;
        }
    }
    return QPlainTextEdit::event(event);
}
