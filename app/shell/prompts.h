// Prompts: the message boxes and file dialogs the program shows. The view
// talks to this interface only, so tests can answer the questions.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// Caption of every box the program shows.
inline const QString kProgramCaption = QStringLiteral("Quillrom2");

enum class BoxIcon { Exclamation, Stop, None };

// A box with a caption of its own, and optionally a Cancel button.
struct BoxQuestion {
    QString caption;
    QString text;
    BoxIcon icon = BoxIcon::None;
    bool withCancel = false;
    QString okText;      // the OK button's text; empty: "OK"
    QString cancelText;  // the Cancel button's text; empty: "Cancel"
};

struct FileFilter {
    QString label;     // the text the user sees
    QString patterns;  // ";"-separated wildcards
};

struct OpenFileRequest {
    QList<FileFilter> filters;
    QString initialName;
    QString initialFolder;
};

// A line of text to type, such as an address.
struct TextQuestion {
    QString caption;
    QString text;
    QString initial;
};

class Prompts {
public:
    virtual ~Prompts() = default;
    // A modal box with an OK button, captioned kProgramCaption. Returns when
    // the user has closed it; events keep being handled meanwhile.
    virtual void message(QWidget *parent, const QString &text, BoxIcon icon) = 0;
    // A modal box as `question` describes it; true when the user chose OK.
    virtual bool ask(QWidget *parent, const BoxQuestion &question) = 0;
    // The open-file dialog; an empty result means the user cancelled.
    virtual QString openFile(QWidget *parent, const OpenFileRequest &request) = 0;
    // A modal box with a line to type; false when the user cancelled.
    virtual bool askText(QWidget *parent, const TextQuestion &question, QString *answer) = 0;
};

// QMessageBox and the non-native QFileDialog (the native one would show the
// filter patterns in its own way).
class QtPrompts : public Prompts {
public:
    void message(QWidget *parent, const QString &text, BoxIcon icon) override;
    bool ask(QWidget *parent, const BoxQuestion &question) override;
    QString openFile(QWidget *parent, const OpenFileRequest &request) override;
    bool askText(QWidget *parent, const TextQuestion &question, QString *answer) override;
};
