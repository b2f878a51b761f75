// CAboutDlg: the About box with the program's version text.
#pragma once

#include <QDialog>

class QLabel;

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget *parent = nullptr);
    QString versionText() const;

private:
    QLabel *version_;
};
