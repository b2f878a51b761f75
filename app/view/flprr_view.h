// CFLPRRView: the form that fills the main window. It owns the library
// objects (parameter record, load-file handle, the flash session) and the
// settings, starts the device commands and shows their progress; the
// session runs each command's connect and end.
#pragma once

#include <memory>

#include <QString>
#include <QWidget>

#include "client/files.h"
#include "client/flash_session.h"
#include "client/target_run.h"
#include "quillctl.h"
#include "record/run_recorder.h"
#include "shell/settings.h"
#include "view/device_setup.h"

class InfoPanel;
class LogBox;
class ProgressBar;
class Prompts;
class RecordNotifier;
class RecordUi;

class CFLPRRView : public QWidget, private ParameterRecordSlot {
    Q_OBJECT
public:
    // `profilePath`: the settings file read at start-up and written when the
    // view goes away. `programFolder` ends with a separator.
    CFLPRRView(QString profilePath, QString programFolder, Prompts &prompts, QWidget *parent = nullptr);
    ~CFLPRRView() override;

    // Restores the settings, opens the flash handle and re-reads the
    // remembered parameter and load files.
    void startUp();

    // Command handlers.
    void onBlankCheck();
    void onErase();
    void onProgram();
    void onSecurity();
    void onChecksum();
    void onAutoprocedure();
    void onConnect();
    // Load replaces the image with one file; Add to Load merges one more
    // file into it (a raw binary asks for its address).
    void onLoad();
    void onAddLoad();
    void onDeviceSetup();
    // Aborts the running device command; the session ends it on the idle notice.
    void onStop();
    // The Record Settings dialog, and the History window of the record.
    void onRecordSettings();
    void onHistory();

    // Enabled state of a command id (cmd::...).
    bool isCommandEnabled(int id) const;
    // True from the start of a device command's connect until its last record.
    bool busy() const { return busy_; }

    // The Device Setup command is offered once a dialog is plugged in.
    void setDeviceSetupDialog(std::unique_ptr<DeviceSetupDialog> dialog);
    // The Record Settings dialog and the History window (tests answer them).
    void setRecordUi(std::unique_ptr<RecordUi> ui);
    // For this run of the program only: record into `url` (--db), whatever the
    // settings say. In demo mode (`demo`) nothing is recorded without one.
    void setRecordDatabase(const QString &url, bool demo);
    // How the next device command is recorded: the settings with their
    // defaults filled in and the one-run database applied.
    quillrecord::RecordOptions recordOptions() const;
    // The History window shows this many of the newest rows.
    static constexpr int kHistoryRows = 200;

    // State, for the main window and for tests.
    SetupSettings &settings() { return settings_; }
    const SetupSettings &settings() const { return settings_; }
    LogBox *logBox() const { return log_; }
    ProgressBar *progressBar() const { return bar_; }
    QString fieldText(int id) const;
    FlashHandle *flashHandle() const { return session_ ? session_->handle() : nullptr; }
    DeviceParameters *deviceParameters() const { return prm_; }
    LoadFileHandle *loadFileHandle() const { return load_.handle(); }
    const AreaRecord &areaRecord() const { return area_; }
    int pendingCommand() const { return pendingCommand_; }
    // The connect request the next device command would make.
    ResetRecord currentResetRecord() const;

    // Lines written by the view itself.
    void appendLog(const QString &line);
    void clearLog();

    // Writes the settings to the profile (also done when the view goes away);
    // false when the file could not be written.
    bool saveSettings() const;
    // The same when the settings have changed, with a log line on failure.
    void saveSettingsNow();

signals:
    // The enabled state of some command may have changed.
    void commandStateChanged();
    // A device command (or its failed connect) has ended.
    void deviceCommandFinished();
    // The load-file reader has ended, with or without an image.
    void loadFileFinished(bool ok);

protected:
    void customEvent(QEvent *event) override;

private:
    struct DeviceCommand;
    void runDeviceCommand(const DeviceCommand &command);
    bool startConnect();
    // Opens the record for the command about to start; false (and a box)
    // when it cannot be written, before the device is touched.
    bool openRecord(const quillclient::CommandRequest &request);
    void recordRun(const quillclient::RunResult &result);
    void onFlashRecord(const ProgressRecord &record);
    void onCommandIssuing(quillclient::Command command);
    void onCommandFinished(const quillclient::RunResult &result);
    void onLoadFileRecord();
    void setBusy(bool busy);
    void runDeviceSetup();
    bool securityAllowed() const;

    // Opens `sources` in place of the current load image: false (and the
    // old one kept) when the library cannot open them.
    bool openLoadFile(const QList<LoadSourceSetting> &sources, quillclient::FileStatus *status);
    // The file dialog and, for a raw binary, its address; false when the
    // user cancelled or the choice cannot be used (said in a box).
    bool chooseLoadSource(LoadSourceSetting *source);
    void takeLoadSources(const QList<LoadSourceSetting> &sources);
    // A remembered file that cannot be read at start-up: a log line, and the
    // panel no longer shows its name.
    void dropRememberedFile(int nameField, const QString &kind, const QString &path, const QString &why);
    void closeLoadFile();
    void refreshDeviceGroup();
    void refreshParameterGroup();
    void refreshLoadFileGroup();
    void refreshConnectionGroup();
    void setFileNameFields();

    // ParameterRecordSlot
    DeviceParameters *current() const override { return prm_; }
    void replace(DeviceParameters *record) override;

    QString profilePath_;
    QString programFolder_;
    Prompts &prompts_;

    SetupSettings settings_;
    QString prmSearchPath_;
    bool prmReadAtStart_ = false;
    bool startedUp_ = false;
    int pendingCommand_ = 0;

    DeviceParameters *prm_ = nullptr;
    quillclient::ImageLoad load_;
    QList<LoadSourceSetting> loadedSources_;  // what load_ was opened with
    AreaRecord area_{};
    // The notifier outlives the session: the session's worker posts to it.
    std::unique_ptr<RecordNotifier> flashNotifier_;
    std::unique_ptr<quillclient::FlashSession> session_;
    std::unique_ptr<RecordNotifier> loadNotifier_;
    bool hasFlashRecord_ = false;
    ProgressRecord lastFlashRecord_{};
    bool hasLoadRecord_ = false;
    LoadProgressRecord lastLoadRecord_{};

    // The record of the running command: its store, its facts and the run.
    std::unique_ptr<RecordUi> recordUi_;
    QString recordDatabase_;  // --db: this run of the program only
    bool demo_ = false;
    std::unique_ptr<quillrecord::RunRecorder> recorder_;
    quillrecord::RunFacts runFacts_;
    quillclient::TargetRun run_;
    bool runOpen_ = false;  // lines go to run_

    bool busy_ = false;
    bool stopRequested_ = false;  // Stop pressed; the command has not ended yet

    LogBox *log_ = nullptr;
    ProgressBar *bar_ = nullptr;
    std::unique_ptr<InfoPanel> panel_;
    std::unique_ptr<DeviceSetupDialog> setupDialog_;
};

// Program-wide version text, set by the view at start-up and shown by the About box.
const QString &ProgramVersionText();
