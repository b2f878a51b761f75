#include "view/log_box.h"

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
