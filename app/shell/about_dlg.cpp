#include "shell/about_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "shell/drawn_icons.h"
#include "view/flprr_view.h"

CAboutDlg::CAboutDlg(QWidget *parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Quillrom2"));
    auto *icon = new QLabel(this);
    icon->setPixmap(icons::program_icon().pixmap(32, 32));
    auto *chip = new QLabel(this);
    chip->setPixmap(icons::program().pixmap(48, 48));
    auto *banner = new QLabel(this);
    banner->setPixmap(icons::aboutBanner(200, 40));
    auto *e = new QLabel(QStringLiteral("E"), this);
    version_ = new QLabel(this);
    version_->setObjectName(QStringLiteral("versionLabel"));
    // The text is the one the view set at start-up.
    version_->setText(ProgramVersionText());
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto *grid = new QGridLayout(this);
    grid->addWidget(icon, 0, 0, Qt::AlignTop);
    grid->addWidget(banner, 0, 1, 1, 2);
    grid->addWidget(chip, 1, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(e, 1, 1);
    grid->addWidget(version_, 1, 2);
    grid->addWidget(buttons, 3, 0, 1, 3);
    grid->setColumnStretch(2, 1);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

QString CAboutDlg::versionText() const { return version_->text(); }
