// LogBox: the read-only log of the main view.
//
// The log keeps its whole text with "\r\n" between lines. Appending adds
// only the new line to the box (re-setting the whole text on every line
// would make long logs slow); clearing empties the text and leaves the box
// as it is until the next line replaces its content.
#pragma once

#include <QPlainTextEdit>

class LogBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogBox(QWidget *parent = nullptr);

    void appendLine(const QString &line);
    // Every line appended from now on is also appended to `path` (empty: none).
    void setMirrorFile(const QString &path) { mirror_ = path; }
    void clearLog();
    const QString &logText() const { return logText_; }

protected:
    bool event(QEvent *event) override;

private:
    QString logText_;
    QString mirror_;
};
