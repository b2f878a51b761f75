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
    // The box's own Ctrl shortcuts (select all, copy) would take the main
    // window's accelerators (Ctrl+A Autoprocedure, Ctrl+C Connect) while it
    // has the focus; let those reach the window instead.
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->modifiers() & Qt::ControlModifier) {
            event->ignore();
            return true;
        }
    }
    return QPlainTextEdit::event(event);
}
