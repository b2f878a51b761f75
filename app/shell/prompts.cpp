#include "shell/prompts.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {

// Wildcards match names whatever their case, as on the systems the files
// come from: "*.PRM" also finds demo.prm.
QString AnyCase(const QString &pattern) {
    QString out;
    for (const QChar c : pattern) {
        if (c.toLower() != c.toUpper())
            out += QLatin1Char('[') + c.toLower() + c.toUpper() + QLatin1Char(']');
        else
            out += c;
    }
    return out;
}

QMessageBox::Icon BoxIconOf(BoxIcon icon) {
    switch (icon) {
    case BoxIcon::Exclamation: return QMessageBox::Warning;
    case BoxIcon::Stop: return QMessageBox::Critical;
    case BoxIcon::None: break;
    }
    return QMessageBox::NoIcon;
}
}  // namespace

void QtPrompts::message(QWidget *parent, const QString &text, BoxIcon icon) {
    QMessageBox box(BoxIconOf(icon), kProgramCaption, text, QMessageBox::Ok, parent);
    box.exec();
}

bool QtPrompts::ask(QWidget *parent, const BoxQuestion &question) {
    const QMessageBox::StandardButtons buttons =
        question.withCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok;
    QMessageBox box(BoxIconOf(question.icon), question.caption, question.text, buttons, parent);
    if (!question.okText.isEmpty()) box.button(QMessageBox::Ok)->setText(question.okText);
    if (question.withCancel && !question.cancelText.isEmpty()) box.button(QMessageBox::Cancel)->setText(question.cancelText);
    return box.exec() == QMessageBox::Ok;
}

QString QtPrompts::openFile(QWidget *parent, const OpenFileRequest &request) {
    QFileDialog dialog(parent);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // Each filter is shown by its label alone; the wildcards follow in a
    // group of their own that the dialog hides and uses for matching.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    QStringList filters;
    for (const FileFilter &f : request.filters) {
        QString patterns = f.patterns;
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        // "*.*" means every file, with or without a dot in its name.
        if (patterns == QLatin1String("*.*")) patterns = QStringLiteral("*");
        patterns = AnyCase(patterns);
        filters << f.label + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    dialog.setNameFilters(filters);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!request.initialFolder.isEmpty()) dialog.setDirectory(request.initialFolder);
    // A wildcard name filters the list in other dialogs; here it would only be
    // taken for a file that does not exist, and the filters already apply.
    if (!request.initialName.isEmpty() && !request.initialName.contains(QLatin1Char('*')))
        dialog.selectFile(request.initialName);
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

bool QtPrompts::askText(QWidget *parent, const TextQuestion &question, QString *answer) {
    bool ok = false;
    const QString text = QInputDialog::getText(parent, question.caption.isEmpty() ? kProgramCaption : question.caption,
                                               question.text, QLineEdit::Normal, question.initial, &ok);
    if (ok) *answer = text.trimmed();
    return ok;
}
