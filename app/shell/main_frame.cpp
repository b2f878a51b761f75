#include "shell/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>

#include "recording/record_ui.h"
#include "shell/about_dlg.h"
#include "shell/drawn_icons.h"
#include "shell/lock_keys.h"
#include "shell/prompts.h"
#include "view/commands.h"
#include "view/flprr_view.h"
#include "view/log_box.h"

namespace {
const char *const kIndicatorTexts[] = {"CAP", "NUM", "SCRL"};
}

CMainFrame::CMainFrame(const QString &profilePath, const QString &programFolder, Prompts &prompts,
                       const QString &logFile, QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                              Qt::WindowCloseButtonHint),
      prompts_(prompts) {
    setWindowIcon(icons::program_icon());
    buildMenus();
    buildToolBar();
    buildStatusBar();

    view_ = new CFLPRRView(profilePath, programFolder, prompts, this);
    view_->setRecordUi(std::make_unique<QtRecordUi>());
    view_->logBox()->setMirrorFile(logFile);
    setCentralWidget(view_);
    // The window always fits the form plus whatever bars are shown.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    layout()->activate();
    connect(view_, &CFLPRRView::commandStateChanged, this, &CMainFrame::updateCommandStates);

    view_->startUp();
    setWindowTitle(QStringLiteral("Quillrom2"));
    updateCommandStates();
    updateIndicators();
    qApp->installEventFilter(this);
}

CMainFrame::~CMainFrame() { qApp->removeEventFilter(this); }

QAction *CMainFrame::makeAction(int id, const QString &text, const QString &prompt, const QKeySequence &key) {
    auto *a = new QAction(text, this);
    // A prompt holds the status bar text, then "\n" and the tool tip.
    const int split = prompt.indexOf(QLatin1Char('\n'));
    a->setStatusTip(split < 0 ? prompt : prompt.left(split));
    if (split >= 0) a->setToolTip(prompt.mid(split + 1));
    if (!key.isEmpty()) a->setShortcut(key);
    a->setData(id);
    actions_.insert(id, a);
    return a;
}

void CMainFrame::buildMenus() {
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction *load = makeAction(cmd::kLoad, QStringLiteral("&Load..."), QStringLiteral("Load Hex, S-Rec, ELF Or Binary File.\nLoad"),
                               QKeySequence(Qt::CTRL | Qt::Key_O));
    load->setIcon(icons::load());
    file->addAction(load);
    file->addAction(makeAction(cmd::kAddLoad, QStringLiteral("&Add to Load..."),
                               QStringLiteral("Merge one more file (HEX, S-record, ELF or a raw binary) into the load image."
                                              "\nAdd to Load"),
                               QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O)));
    file->addSeparator();
    QAction *recordSettings = makeAction(cmd::kRecordSettings, QStringLiteral("&Record Settings..."),
                                         QStringLiteral("Where device commands are recorded, by which station and operator."
                                                        "\nRecord Settings"),
                                         QKeySequence(Qt::CTRL | Qt::Key_R));
    file->addAction(recordSettings);
    QAction *history = makeAction(cmd::kHistory, QStringLiteral("&History..."),
                                  QStringLiteral("The last recorded runs and today's yield.\nHistory"),
                                  QKeySequence(Qt::CTRL | Qt::Key_H));
    file->addAction(history);
    file->addSeparator();
    QAction *quit = makeAction(cmd::kQuit, QStringLiteral("&Quit"),
                               QStringLiteral("Quit the application; prompts to save documents\nExit"));
    file->addAction(quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    deviceMenu_ = menuBar()->addMenu(QStringLiteral("&Device"));
    // Esc stops the running command wherever the focus is in the window.
    QAction *stop = makeAction(cmd::kStop, QStringLiteral("S&top"), QStringLiteral("Stop the running command.\nStop"),
                               QKeySequence(Qt::Key_Escape));
    stop->setIcon(icons::stop());
    stop->setShortcutContext(Qt::WindowShortcut);
    struct Entry {
        int id;
        const char *text;
        const char *prompt;
        QKeyCombination key;
        QIcon (*icon)();
        bool separatorAfter;
    };
    const Entry entries[] = {
        {cmd::kBlankCheck, "&Blank Check", "Check if the target device is blank.\nBlank", Qt::CTRL | Qt::Key_B,
         &icons::blankCheck, false},
        {cmd::kErase, "&Erase", "Erase the target device.\nErase", Qt::CTRL | Qt::Key_E, &icons::erase, false},
        {cmd::kProgram, "&Program", "Program the target device.\nProgram", Qt::CTRL | Qt::Key_P, &icons::program,
         false},
        {cmd::kVerify, "&Verify", "Verify the contents of a programmed target device.\nVerify", Qt::CTRL | Qt::Key_V,
         &icons::verify, true},
        {cmd::kSecurity, "&Security", "Set the security flag in a KT3 target device.\nWriteSecurity",
         Qt::CTRL | Qt::Key_W, nullptr, false},
        {cmd::kChecksum, "CheckSu&m", "Get the checksum from a KT3 target device.\nChecksum", Qt::CTRL | Qt::Key_M,
         nullptr, true},
        {cmd::kAutoprocedure, "&Autoprocedure(EPV)", "Blank check, erase, program and verify a device.\nAutoprocedure",
         Qt::CTRL | Qt::Key_A, &icons::autoprocedure, true},
        {cmd::kSignatureRead, "Si&gnature read", "Read the signature out of a target device.\nSignatureRead",
         Qt::CTRL | Qt::Key_G, nullptr, false},
    };
    for (const Entry &e : entries) {
        QAction *a = makeAction(e.id, QString::fromLatin1(e.text), QString::fromLatin1(e.prompt), QKeySequence(e.key));
        if (e.icon) a->setIcon(e.icon());
        deviceMenu_->addAction(a);
        if (e.separatorAfter) deviceMenu_->addSeparator();
    }
    deviceMenu_->addSeparator();
    deviceMenu_->addAction(stop);
    // Setup joins the menu when a Device Setup dialog is installed.
    setupAction_ = makeAction(cmd::kSetup, QStringLiteral("&Setup..."),
                                QStringLiteral("Setup parameters for the target device.\nSetup"),
                                QKeySequence(Qt::CTRL | Qt::Key_S));
    setupAction_->setIcon(icons::setup());
    actions_.remove(cmd::kSetup);

    QMenu *viewMenu = menuBar()->addMenu(QStringLiteral("&View"));
    QAction *toolbar = makeAction(cmd::kViewToolbar, QStringLiteral("&Toolbar"),
                                  QStringLiteral("Show or hide the toolbar\nToggle ToolBar"));
    QAction *statusbar = makeAction(cmd::kViewStatusBar, QStringLiteral("&Status Bar"),
                                    QStringLiteral("Show or hide the status bar\nToggle StatusBar"));
    toolbar->setCheckable(true);
    statusbar->setCheckable(true);
    viewMenu->addAction(toolbar);
    viewMenu->addAction(statusbar);

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction *about = makeAction(cmd::kAbout, QStringLiteral("&About Quillrom2..."),
                                QStringLiteral("Display program information, version number and copyright\nAbout"));
    help->addAction(about);
    connect(about, &QAction::triggered, this, [this] {
        CAboutDlg dialog(this);
        dialog.exec();
    });

    // Connect has an accelerator but no menu entry.
    QAction *connectAction = makeAction(cmd::kConnect, QStringLiteral("Connect"),
                                        QStringLiteral("Connect/Disconnect Programmer and target device.\nConnect"),
                                        QKeySequence(Qt::CTRL | Qt::Key_C));
    addAction(connectAction);

    for (QMenu *menu : {file, deviceMenu_, viewMenu, help})
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::updateCommandStates);

    // Handlers.
    for (int id : {cmd::kLoad, cmd::kAddLoad, cmd::kBlankCheck, cmd::kErase, cmd::kProgram, cmd::kSecurity, cmd::kChecksum,
                   cmd::kAutoprocedure, cmd::kConnect, cmd::kStop})
        connect(actions_.value(id), &QAction::triggered, this, [this, id] { runCommand(id); });
    connect(setupAction_, &QAction::triggered, this, [this] { view_->onDeviceSetup(); });
    connect(recordSettings, &QAction::triggered, this, [this] { view_->onRecordSettings(); });
    connect(history, &QAction::triggered, this, [this] { view_->onHistory(); });
}

void CMainFrame::runCommand(int id) {
    switch (id) {
    case cmd::kLoad: view_->onLoad(); break;
    case cmd::kAddLoad: view_->onAddLoad(); break;
    case cmd::kBlankCheck: view_->onBlankCheck(); break;
    case cmd::kErase: view_->onErase(); break;
    case cmd::kProgram: view_->onProgram(); break;
    case cmd::kSecurity: view_->onSecurity(); break;
    case cmd::kChecksum: view_->onChecksum(); break;
    case cmd::kAutoprocedure: view_->onAutoprocedure(); break;
    case cmd::kConnect: view_->onConnect(); break;
    case cmd::kStop: view_->onStop(); break;
    default: break;
    }
}

void CMainFrame::buildToolBar() {
    toolBar_ = new QToolBar(QStringLiteral("Toolbar"), this);
    toolBar_->setObjectName(QStringLiteral("toolBar"));
    toolBar_->setMovable(true);
    toolBar_->setFloatable(true);
    toolBar_->setAllowedAreas(Qt::AllToolBarAreas);
    toolBar_->setIconSize(QSize(24, 24));
    addToolBar(Qt::TopToolBarArea, toolBar_);
    toolBar_->addAction(actions_.value(cmd::kLoad));
    toolBar_->addSeparator();
    for (int id : {cmd::kBlankCheck, cmd::kErase, cmd::kProgram, cmd::kVerify}) toolBar_->addAction(actions_.value(id));
    toolBar_->addSeparator();
    toolBar_->addAction(actions_.value(cmd::kAutoprocedure));
    toolBar_->addSeparator();
    toolBar_->addAction(actions_.value(cmd::kStop));

    QAction *toggle = actions_.value(cmd::kViewToolbar);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, toolBar_, &QToolBar::setVisible);
    connect(toolBar_, &QToolBar::visibilityChanged, toggle, &QAction::setChecked);
}

void CMainFrame::buildStatusBar() {
    QStatusBar *bar = statusBar();
    // A normal status bar widget: menu and button prompts cover it while
    // the pointer is on them, and it shows again when they go.
    ready_ = new QLabel(QStringLiteral("Ready"), bar);
    bar->addWidget(ready_, 1);
    for (int i = 0; i < 3; ++i) {
        auto *label = new QLabel(bar);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QString::fromLatin1(kIndicatorTexts[i])) + 10);
        bar->addPermanentWidget(label);
        indicators_[i] = label;
    }
    QAction *toggle = actions_.value(cmd::kViewStatusBar);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, bar, &QStatusBar::setVisible);
}

QString CMainFrame::statusMessage() const {
    const QString temporary = statusBar()->currentMessage();
    return temporary.isEmpty() ? ready_->text() : temporary;
}

QString CMainFrame::indicatorText(int index) const { return indicators_[index]->text(); }

void CMainFrame::updateIndicators() {
    const LockKeyState s = QueryLockKeys();
    const bool on[3] = {s.caps, s.num, s.scroll};
    for (int i = 0; i < 3; ++i) indicators_[i]->setText(on[i] ? QString::fromLatin1(kIndicatorTexts[i]) : QString());
}

bool CMainFrame::eventFilter(QObject *watched, QEvent *event) {
    switch (event->type()) {
    case QEvent::KeyRelease:
        // Only the first delivery; the event then travels up the parents.
        if (event->spontaneous()) updateIndicators();
        break;
    case QEvent::WindowActivate:
        if (watched == this) updateIndicators();
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

namespace {
// Longest a close waits for a stopped command to end: an abort is taken
// between two bytes, but a device may be inside a long erase.
constexpr int kStopWaitMs = 15000;
}  // namespace

void CMainFrame::closeEvent(QCloseEvent *event) {
    if (closing_ || !view_ || !view_->busy()) {
        QMainWindow::closeEvent(event);
        return;
    }
    // Closing now would close the port under a half-written target.
    event->ignore();
    if (stopping_) return;
    BoxQuestion q;
    q.caption = kProgramCaption;
    q.text = QStringLiteral("A command is running. Stop it and quit?");
    q.icon = BoxIcon::Exclamation;
    q.withCancel = true;
    q.okText = QStringLiteral("Stop and quit");
    if (!prompts_.ask(this, q)) return;
    // The command may have ended while the box was open.
    if (!view_->busy()) {
        closing_ = true;
        close();
        return;
    }
    stopAndClose();
}

void CMainFrame::closeStoppingCommand() {
    if (view_ && view_->busy()) {
        if (!stopping_) stopAndClose();
        return;
    }
    closing_ = true;
    close();
}

void CMainFrame::stopAndClose() {
    stopping_ = true;
    auto finish = [this] {
        if (closing_) return;
        closing_ = true;
        close();
    };
    connect(view_, &CFLPRRView::deviceCommandFinished, this, finish, Qt::SingleShotConnection);
    QTimer::singleShot(kStopWaitMs, this, [this, finish] {
        if (closing_) return;
        view_->appendLog(QStringLiteral(">>The command did not stop in time; quitting."));
        finish();
    });
    view_->onStop();
}

void CMainFrame::updateCommandStates() {
    for (auto it = actions_.cbegin(); it != actions_.cend(); ++it) it.value()->setEnabled(view_ && view_->isCommandEnabled(it.key()));
}

void CMainFrame::installDeviceSetup(std::unique_ptr<DeviceSetupDialog> dialog) {
    if (actions_.contains(cmd::kSetup)) {
        view_->setDeviceSetupDialog(std::move(dialog));
        return;
    }
    QAction *setup = setupAction_;
    actions_.insert(cmd::kSetup, setup);
    deviceMenu_->addSeparator();
    deviceMenu_->addAction(setup);
    deviceMenu_->addSeparator();
    QAction *first = toolBar_->actions().value(0);
    toolBar_->insertAction(first, setup);
    toolBar_->insertSeparator(first);
    view_->setDeviceSetupDialog(std::move(dialog));
    updateCommandStates();
}
