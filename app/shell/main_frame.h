// CMainFrame: the fixed-size main window around the view, with the menus,
// the toolbar, the status bar and the accelerators.
#pragma once

#include <memory>

#include <QHash>
#include <QMainWindow>

class CFLPRRView;
class DeviceSetupDialog;
class Prompts;
class QAction;
class QLabel;
class QMenu;
class QToolBar;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // `logFile`: every log line is appended there too (empty: none).
    CMainFrame(const QString &profilePath, const QString &programFolder, Prompts &prompts,
               const QString &logFile = QString(), QWidget *parent = nullptr);
    ~CMainFrame() override;

    CFLPRRView *view() const { return view_; }
    // The action of a command id (cmd::...), or null when not offered.
    QAction *action(int id) const { return actions_.value(id); }
    QToolBar *toolBar() const { return toolBar_; }
    QMenu *deviceMenu() const { return deviceMenu_; }
    // Text of the status bar's message pane as the user sees it.
    QString statusMessage() const;
    QString indicatorText(int index) const;  // 0 CAP, 1 NUM, 2 SCRL

    // Offers the Device Setup command with the given dialog.
    void installDeviceSetup(std::unique_ptr<DeviceSetupDialog> dialog);

    // Applies the view's enabling rules to every action.
    void updateCommandStates();

    // Closes at once, stopping a running command without asking (a signal
    // asked the program to end).
    void closeStoppingCommand();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    QAction *makeAction(int id, const QString &text, const QString &prompt, const QKeySequence &key = {});
    void buildMenus();
    void runCommand(int id);
    void buildToolBar();
    void buildStatusBar();
    void updateIndicators();

    void stopAndClose();

    Prompts &prompts_;
    CFLPRRView *view_ = nullptr;
    bool stopping_ = false;  // a close waits for the stopped command to end
    bool closing_ = false;   // the close goes ahead, command or not
    QHash<int, QAction *> actions_;
    QMenu *deviceMenu_ = nullptr;
    QToolBar *toolBar_ = nullptr;
    QAction *setupAction_ = nullptr;  // offered once a dialog is installed
    QLabel *ready_ = nullptr;
    QLabel *indicators_[3] = {};
};
