#include "view/flprr_view.h"

#include <QDebug>
#include <QFile>
#include <QDir>
#include <QFileInfo>

#include "shell/app_paths.h"
#include "shell/dialog_units.h"
#include "shell/profile.h"
#include "shell/prompts.h"
#include "view/commands.h"
#include "view/device_requests.h"
#include "view/info_panel.h"
#include "view/log_box.h"
#include "view/panel_text.h"
#include "view/progress_bar.h"
#include "view/record_events.h"
#include "recording/record_ui.h"
#include "record/store_common.h"

namespace {

quillclient::Command SessionCommand(int pendingCode) {
    using quillclient::Command;
    switch (pendingCode) {
    case pending::kBlankCheck: return Command::BlankCheck;
    case pending::kErase: return Command::Erase;
    case pending::kProgram: return Command::Program;
    case pending::kSecurity: return Command::Security;
    case pending::kChecksum: return Command::Checksum;
    default: return Command::Autoprocedure;
    }
}

QString gVersionText;

QByteArray LibraryPath(const QString &path) { return QFile::encodeName(path); }

std::vector<quillclient::LoadSource> LibrarySources(const QList<LoadSourceSetting> &sources) {
    std::vector<quillclient::LoadSource> out;
    for (const LoadSourceSetting &s : sources) out.push_back({LibraryPath(s.path).toStdString(), s.binary, s.address});
    return out;
}

// The panel's name for an image of several sources: the first one's, and how many more.
QString SourcesName(const QString &first, const QList<LoadSourceSetting> &sources) {
    return sources.size() > 1 ? first + QStringLiteral(" +%1").arg(sources.size() - 1) : first;
}

QString SourceWords(const LoadSourceSetting &s) {
    return s.binary ? s.path + QStringLiteral("@0x") + QString::number(s.address, 16).toUpper() : s.path;
}

// The port a command runs on, as the record names it.
quillclient::PortChoice RecordPort(int portIndex) {
    quillclient::PortChoice port;
    // A damaged profile may hold any number; only COM1..COM255 name a port.
    if (portIndex < 0 || portIndex >= 255) return port;
    port.number = portIndex + 1;
    port.name = "COM" + std::to_string(port.number);
    char path[512];
    if (PRRComPortPath(port.number, path, sizeof path) > 0) port.path = path;
    return port;
}

// The options of a command as the command line would give them, for the record.
std::string OptionsText(const SetupSettings &s) {
    std::string text = s.supValue == 1 ? "--range block:" + std::to_string(s.showStart) + "-" + std::to_string(s.showEnd)
                       : s.supValue == 2 ? std::string("--range area")
                                         : std::string("--range chip");
    if (s.autoMode) text += " --auto-range";
    if (s.optBlk) text += " --blank-check-first";
    if (s.optVeri) text += " --verify";
    if (s.optSum) text += " --checksum";
    if (s.optSec) text += " --security";
    if (!s.freq.isEmpty()) text += " --freq " + s.freq.toStdString();
    if (!s.multiply.isEmpty()) text += " --multiply " + s.multiply.toStdString();
    return text;
}

std::string Utf8(const QString &s) { return s.toUtf8().toStdString(); }

}  // namespace

const QString &ProgramVersionText() { return gVersionText; }

struct CFLPRRView::DeviceCommand {
    int code;
    const char *prmBox;
    const char *loadFileBox;  // null: no load file needed
};

CFLPRRView::CFLPRRView(QString profilePath, QString programFolder, Prompts &prompts, QWidget *parent)
    : QWidget(parent),
      profilePath_(std::move(profilePath)),
      programFolder_(std::move(programFolder)),
      prompts_(prompts) {
    const DialogUnits units(font());
    setFixedSize(units.size(367, 208));
    log_ = new LogBox(this);
    log_->setGeometry(units.rect(0, 0, 244, 208));
    panel_ = std::make_unique<InfoPanel>(this, units);
    bar_ = new ProgressBar(this);
    bar_->setGeometry(units.rect(248, 196, 118, 10));
    bar_->setObjectName(QStringLiteral("progressBar"));
    log_->setObjectName(QStringLiteral("logBox"));
}

CFLPRRView::~CFLPRRView() {
    // Settings never read are not written: they would replace the profile
    // with start values.
    if (startedUp_) saveSettings();
    // The flash worker may still be running a command that reads the
    // parameter record's tables and the load image: stop it before either
    // goes away.
    session_.reset();
    closeLoadFile();
    PRRFreePRM(prm_);
    prm_ = nullptr;
}

void CFLPRRView::startUp() {
    bar_->setRange(0, 100);
    bar_->setPosition(0);

    // Load settings.
    LoadSettings(Profile(profilePath_), settings_);
    startedUp_ = true;
    setFileNameFields();
    panel_->refresh();
    gVersionText = QStringLiteral("1.20b");

    appendLog(QStringLiteral(">> FlashOpening.... "));
    flashNotifier_ = std::make_unique<RecordNotifier>(this);
    quillclient::SessionConfig config;
    config.window = flashNotifier_->window();
    config.connectAfterFailedPrepare = true;
    quillclient::SessionEvents events;
    events.record = [this](const ProgressRecord &r) { onFlashRecord(r); };
    events.issuing = [this](quillclient::Command c) { onCommandIssuing(c); };
    events.finished = [this](const quillclient::RunResult &r) { onCommandFinished(r); };
    events.slowLink = [this](const std::string &text) {
        appendLog(QStringLiteral(">>Warning: ") + QString::fromStdString(text));
    };
    // The power box opens as the connect starts (startConnect); its answer
    // is handed over from there.
    session_ = std::make_unique<quillclient::FlashSession>(config, std::move(events));
    if (FlashHandle *flash = flashHandle()) {
        appendLog(QStringLiteral("Flash Open OK"));
        flash->appWord = settings_.securityEnabled;
    } else {
        appendLog(QStringLiteral("Flash Open Error"));
    }

    if (!settings_.prmFileName.isEmpty()) {
        appendLog(QStringLiteral(">> ParameterFile Reading...."));
        quillclient::FileStatus status;
        DeviceParameters *record =
            quillclient::ReadParameterFile(LibraryPath(settings_.prmFileName).toStdString(), true, &status);
        if (!record && status.fault != quillclient::FileStatus::kBadChecksum) {
            appendLog(QStringLiteral("ParameterFile Read Error"));
            dropRememberedFile(field::kPrmName, QStringLiteral(">>ParameterFile"), settings_.prmFileName,
                               FileStatusWords(status));
        } else if (!record) {
            appendLog(QStringLiteral("ParameterFile CHECKSUM Error"));
            dropRememberedFile(field::kPrmName, QStringLiteral(">>ParameterFile"), settings_.prmFileName,
                               FileStatusWords(status));
        } else {
            prm_ = record;
            prmReadAtStart_ = true;
            appendLog(QStringLiteral("Success Read ParameterFile."));
            FillAreaRecord(area_, settings_, prm_);
            refreshDeviceGroup();
            refreshParameterGroup();
            refreshConnectionGroup();
        }
    }

    if (!settings_.loadFileName.isEmpty()) {
        bar_->setPosition(0);
        quillclient::FileStatus status;
        if (openLoadFile(LoadSourcesOf(settings_), &status))
            appendLog(QStringLiteral(">> LoadFile Reading...."));
        else
            dropRememberedFile(field::kLoadName, QStringLiteral(">>LoadFile"), settings_.loadFileName,
                               FileStatusWords(status));
    }
    panel_->refresh();
    emit commandStateChanged();
}

void CFLPRRView::dropRememberedFile(int nameField, const QString &kind, const QString &path, const QString &why) {
    // The settings keep the name: the file may be on a medium that is not
    // mounted yet, and the next dialog starts in its folder.
    appendLog(kind + QStringLiteral(" Open Error: ") + path + QStringLiteral(": ") + why);
    panel_->setText(nameField, QString());
}

bool CFLPRRView::saveSettings() const {
    Profile profile(profilePath_);
    SaveSettings(profile, settings_);
    // A failed write is not the user's problem at exit; say so for whoever reads stderr.
    if (profile.save()) return true;
    qWarning("quillrom2: cannot write the settings to %s", qPrintable(profilePath_));
    return false;
}

void CFLPRRView::saveSettingsNow() {
    if (!saveSettings()) appendLog(QStringLiteral(">>Cannot write the settings to ") + profilePath_);
}

QString CFLPRRView::fieldText(int id) const { return panel_->shown(id); }

void CFLPRRView::appendLog(const QString &line) {
    log_->appendLine(line);
    if (runOpen_) run_.Line(line.toStdString());
}

void CFLPRRView::clearLog() { log_->clearLog(); }

ResetRecord CFLPRRView::currentResetRecord() const {
    return BuildResetRecord(settings_, flashHandle() ? flashHandle()->appWord : 0);
}

// ---------------------------------------------------------------------------
// Device commands

void CFLPRRView::onBlankCheck() {
    runDeviceCommand({pending::kBlankCheck, "Please Read a PRM File for BlankCheck.", nullptr});
}

void CFLPRRView::onErase() {
    runDeviceCommand({pending::kErase, "Please Read a PRM File for Erase.", nullptr});
}

void CFLPRRView::onProgram() {
    runDeviceCommand({pending::kProgram, "Please Read a PRM File for Program.", "Please Read a LoadFile for Program."});
}

void CFLPRRView::onChecksum() {
    runDeviceCommand({pending::kChecksum, "Please Read a PRM File for Checksum.", "Please Read a LoadFile for Checksum."});
}

void CFLPRRView::onAutoprocedure() {
    runDeviceCommand({pending::kAutoprocedure, "Please Read a PRM File for EPV.", "Please Read a LoadFile for EPV."});
}

// The Security command needs its flag in the settings and on the handle, and a
// parameter record; the handler and the enabled state ask the same question.
bool CFLPRRView::securityAllowed() const {
    const FlashHandle *flash = flashHandle();
    return !busy_ && prm_ && flash && flash->appWord != 0 && settings_.securityEnabled;
}

void CFLPRRView::onSecurity() {
    if (!securityAllowed()) return;
    pendingCommand_ = pending::kSecurity;
    clearLog();
    setBusy(true);
    if (!startConnect()) setBusy(false);
}

void CFLPRRView::runDeviceCommand(const DeviceCommand &c) {
    if (busy_) return;  // the enabling rule keeps this from happening
    auto refuse = [&](const char *box, const char *second) {
        appendLog(QString::fromLatin1(quillclient::CommandTitle(SessionCommand(c.code))));
        prompts_.message(this, QString::fromLatin1(box), BoxIcon::Exclamation);
        appendLog(QString::fromLatin1(second));
        pendingCommand_ = pending::kNone;
    };
    if (!flashHandle() || !prm_) return refuse(c.prmBox, "PRM File is not Read.");
    if (c.loadFileBox && !loadFileHandle()) return refuse(c.loadFileBox, "Load File is not Read.");
    pendingCommand_ = c.code;
    clearLog();
    setBusy(true);
    if (!startConnect()) setBusy(false);
}

bool CFLPRRView::startConnect() {
    // The run's lines are kept from here for its row in the record.
    run_ = quillclient::TargetRun(RecordPort(settings_.portIndex));
    run_.Begin();
    runOpen_ = true;
    appendLog(QStringLiteral(">>COMMAND: Reset"));
    const auto notStarted = [this] {
        runOpen_ = false;
        recorder_.reset();
        return false;
    };
    if (!PortChosen(settings_)) {
        appendLog(QStringLiteral("Error : Set CommPort Please."));
        return notStarted();
    }
    if (!SpeedChosen(settings_)) {
        appendLog(QStringLiteral("Error : Set CommSpeed Please."));
        return notStarted();
    }
    quillclient::CommandRequest request;
    request.command = SessionCommand(pendingCommand_);
    request.reset = BuildResetRecord(settings_, flashHandle()->appWord);
    request.device = prm_;
    request.area = area_;
    request.loadFile = loadFileHandle();
    request.autoRange = settings_.autoMode;
    if (!openRecord(request)) return notStarted();
    if (!session_->Start(request)) return notStarted();
    // The box opens at once, while the port is being prepared; the session
    // makes the connect once both the preparation and the box are over.
    if (request.reset.powerCycleMode == PRR_POWER_PROMPT_ON) {
        prompts_.message(this, QStringLiteral("Please Turn off->on Target power."), BoxIcon::Exclamation);
        session_->AnswerPowerPrompt(true);
    }
    return true;
}

void CFLPRRView::onCommandIssuing(quillclient::Command command) {
    refreshDeviceGroup();
    panel_->refresh();
    appendLog(QString::fromLatin1(quillclient::CommandTitle(command)));
    bar_->setPosition(0);
    pendingCommand_ = pending::kNone;
}

void CFLPRRView::onConnect() { appendLog(QStringLiteral(">COMMAND: Connect")); }

void CFLPRRView::onStop() {
    if (!busy_ || !session_ || stopRequested_) return;
    stopRequested_ = true;
    appendLog(QStringLiteral(">>COMMAND: Stop"));
    session_->Abort();
    emit commandStateChanged();
}

// ---------------------------------------------------------------------------
// Progress

void CFLPRRView::customEvent(QEvent *event) {
    if (event->type() != RecordEvent::eventType()) return QWidget::customEvent(event);
    const auto *record = static_cast<RecordEvent *>(event);
    const bool fromFlash = flashNotifier_ && record->source() == flashNotifier_->id();
    if (fromFlash && session_)
        session_->OnNotification(record->message());
    else if (record->message() == PRR_MSG_LOADFILE_RECORD && loadNotifier_ && record->source() == loadNotifier_->id())
        onLoadFileRecord();
    // Anything else was announced by a load-file handle closed since; its
    // ring is gone with it.
}

void CFLPRRView::onLoadFileRecord() {
    if (!load_.handle()) return;
    LoadProgressRecord r{};
    const quillclient::ImageLoad::Progress progress = load_.OnRecord(&r);
    lastLoadRecord_ = r;
    hasLoadRecord_ = true;
    bar_->setPosition(r.percent);
    if (progress == quillclient::ImageLoad::Progress::kFailed) {
        appendLog(QStringLiteral("Error on Load File"));
        // The merging reader says which file and why (two that overlap, a bad ELF).
        if (load_.status().fault == quillclient::FileStatus::kMergeFailed)
            appendLog(QStringLiteral(">>LoadFile Error: ") + QString::fromLocal8Bit(load_.status().detail.c_str()));
        bar_->setPosition(0);
        emit commandStateChanged();
        emit loadFileFinished(false);
    } else if (progress == quillclient::ImageLoad::Progress::kDone) {
        appendLog(FixedText(r.text, sizeof r.text));
        bar_->setPosition(0);
        refreshLoadFileGroup();
        panel_->refresh();
        emit commandStateChanged();
        emit loadFileFinished(true);
    }
}

void CFLPRRView::onFlashRecord(const ProgressRecord &record) {
    if (runOpen_) run_.Record(record);
    lastFlashRecord_ = record;
    hasFlashRecord_ = true;
    appendLog(FixedText(record.text, sizeof record.text));
    bar_->setPosition(static_cast<int>(record.percent));
    // A sequence's closing record leaves an empty bar; the connect's stays
    // until its command starts, a failure's stays where it failed.
    if (record.percent == 100 && record.percentTotal == 100 && record.state != PRR_STATE_CONNECT && record.status == 0)
        bar_->setPosition(0);
}

void CFLPRRView::onCommandFinished(const quillclient::RunResult &result) {
    // The USB box is for a connect that failed on the line; one the library
    // refused for its arguments never reached it. The session has closed the
    // port of a connect that did not succeed.
    const PRROutcome &o = result.outcome;
    const bool lineFailed = result.stage == quillclient::Stage::Connecting && o.status != PRR_STATUS_OK &&
                            o.status != PRR_STATUS_ILLEGAL_PARAMETER && !result.stopped;
    // The row is written before anyone hears that the command has ended.
    recordRun(result);
    setBusy(false);
    if (lineFailed)
        prompts_.message(this, QStringLiteral("Please Setup Device. \r\nPlug and play USB device stack again!"),
                         BoxIcon::Stop);
}

void CFLPRRView::setBusy(bool busy) {
    if (busy_ == busy) return;
    busy_ = busy;
    stopRequested_ = false;
    emit commandStateChanged();
    if (!busy) emit deviceCommandFinished();
}

bool CFLPRRView::isCommandEnabled(int id) const {
    switch (id) {
    case cmd::kBlankCheck:
    case cmd::kErase:
    case cmd::kProgram:
    case cmd::kChecksum:
    case cmd::kAutoprocedure:
        return !busy_;
    case cmd::kVerify:
    case cmd::kSignatureRead:
        return false;
    case cmd::kSecurity:
        return securityAllowed();
    // Load and Setup replace the load image and the parameter record that a
    // running command reads.
    case cmd::kLoad:
    case cmd::kAddLoad:
        return !busy_;
    case cmd::kSetup:
        return !busy_ && setupDialog_;
    case cmd::kStop:
        return busy_ && !stopRequested_;
    // The record's place must not change under a running command's row.
    case cmd::kRecordSettings:
        return !busy_;
    default:
        return true;
    }
}

// ---------------------------------------------------------------------------
// Load file

bool CFLPRRView::openLoadFile(const QList<LoadSourceSetting> &sources, quillclient::FileStatus *status) {
    auto notifier = std::make_unique<RecordNotifier>(this);
    quillclient::ImageLoad opened;
    if (!opened.Open(LibrarySources(sources), -1, notifier->window(), status)) return false;
    closeLoadFile();
    load_ = std::move(opened);
    loadedSources_ = sources;
    hasLoadRecord_ = false;
    loadNotifier_ = std::move(notifier);
    return true;
}

void CFLPRRView::closeLoadFile() {
    // The worker stops inside the close, so the notifier is unused after it.
    load_.Close();
    loadNotifier_.reset();
    loadedSources_.clear();
    hasLoadRecord_ = false;
}

bool CFLPRRView::chooseLoadSource(LoadSourceSetting *source) {
    OpenFileRequest request;
    const QString all = QStringLiteral("*.hex;*.rec;*.s;*.s19;*.srec;*.mot;*.elf;*.axf;*.bin");
    request.filters = {{QStringLiteral("Load files (%1)").arg(all), all},
                       {QStringLiteral("S-rec / Hex files (*.rec;*.s;*.hex)"), QStringLiteral("*.rec;*.s;*.hex")},
                       {QStringLiteral("ELF files (*.elf;*.axf)"), QStringLiteral("*.elf;*.axf")},
                       {QStringLiteral("Raw binary files (*.bin)"), QStringLiteral("*.bin")},
                       {QStringLiteral("All Files (*.*)"), QStringLiteral("*.*")}};
    request.initialName = all;
    request.initialFolder =
        settings_.loadFileName.isEmpty() ? QDir::homePath() : QFileInfo(settings_.loadFileName).absolutePath();
    const QString path = prompts_.openFile(this, request);
    if (path.isEmpty()) {
        appendLog(QStringLiteral("Cancel Load File."));
        return false;
    }
    *source = LoadSourceSetting{path, false, 0};
    if (!path.endsWith(QStringLiteral(".bin"), Qt::CaseInsensitive)) return true;
    // A raw binary has no addresses of its own: the user gives where its
    // first byte goes, offered the one it had last time.
    TextQuestion question;
    question.caption = QStringLiteral("Raw binary");
    question.text = QStringLiteral("%1 holds no addresses.\nAddress of its first byte (hex with 0x, or decimal):")
                        .arg(FileNamePart(path));
    question.initial = QStringLiteral("0x0");
    for (const LoadSourceSetting &b : settings_.binaryAddresses)
        if (b.path == path) {
            question.initial = QStringLiteral("0x") + QString::number(b.address, 16).toUpper();
            break;
        }
    QString answer;
    if (!prompts_.askText(this, question, &answer)) {
        appendLog(QStringLiteral("Cancel Load File."));
        return false;
    }
    uint32_t address = 0;
    if (!quillclient::ParseNumberText(answer.toStdString(), &address)) {
        appendLog(QStringLiteral(">>LoadFile Open Error: ") + path + QStringLiteral(": '") + answer +
                  QStringLiteral("' is not an address"));
        prompts_.message(this, QStringLiteral("'%1' is not an address.\nGive it in hex with 0x (0x7C00) or in decimal.").arg(answer),
                         BoxIcon::Exclamation);
        return false;
    }
    source->binary = true;
    source->address = address;
    settings_.binaryAddresses.removeIf([&](const LoadSourceSetting &b) { return b.path == path; });
    settings_.binaryAddresses.prepend(*source);
    while (settings_.binaryAddresses.size() > kRememberedBinaries) settings_.binaryAddresses.removeLast();
    return true;
}

void CFLPRRView::takeLoadSources(const QList<LoadSourceSetting> &sources) {
    bar_->setPosition(0);
    // Sources that cannot be opened leave the image loaded before them.
    quillclient::FileStatus status;
    if (!openLoadFile(sources, &status)) {
        const QString path = status.path.empty() ? sources.back().path : QFile::decodeName(QByteArray::fromStdString(status.path));
        const QString why = FileStatusWords(status);
        appendLog(QStringLiteral(">>LoadFile Open Error: ") + path + QStringLiteral(": ") + why);
        prompts_.message(this, QStringLiteral("Cannot open the load file\n%1:\n%2.").arg(path, why), BoxIcon::Exclamation);
        saveSettingsNow();  // a binary's address is remembered all the same
        return;
    }
    settings_.loadFileName = sources.front().path;
    settings_.loadSources = sources.size() == 1 && !sources.front().binary ? QList<LoadSourceSetting>() : sources;
    if (sources.size() > 1) {
        QStringList words;
        for (const LoadSourceSetting &s : sources) words << SourceWords(s);
        appendLog(QStringLiteral(">>LoadFile Sources: ") + words.join(QStringLiteral(", ")));
    }
    panel_->setText(field::kLoadName, SourcesName(FileNamePart(sources.front().path), sources));
    panel_->refresh();
    saveSettingsNow();
    emit commandStateChanged();
}

void CFLPRRView::onLoad() {
    if (busy_) return;
    appendLog(QStringLiteral(">>COMMAND: LoadFile Open"));
    LoadSourceSetting source;
    if (chooseLoadSource(&source)) takeLoadSources({source});
}

void CFLPRRView::onAddLoad() {
    if (busy_) return;
    appendLog(QStringLiteral(">>COMMAND: LoadFile Add"));
    LoadSourceSetting source;
    if (!chooseLoadSource(&source)) return;
    QList<LoadSourceSetting> sources = loadedSources_.isEmpty() ? LoadSourcesOf(settings_) : loadedSources_;
    // The same file twice would overlap itself everywhere.
    sources.removeIf([&](const LoadSourceSetting &s) { return s.path == source.path; });
    sources.append(source);
    takeLoadSources(sources);
}

// ---------------------------------------------------------------------------
// Information panel

void CFLPRRView::setFileNameFields() {
    if (!settings_.loadFileName.isEmpty())
        panel_->setText(field::kLoadName, SourcesName(FileNamePart(settings_.loadFileName), LoadSourcesOf(settings_)));
    if (!settings_.prmFileName.isEmpty()) panel_->setText(field::kPrmName, FileNamePart(settings_.prmFileName));
}

void CFLPRRView::refreshDeviceGroup() {
    if (!hasFlashRecord_) return;
    const DeviceTexts t = DeviceGroupTexts(lastFlashRecord_);
    panel_->setText(field::kDeviceName, t.name);
    panel_->setText(field::kCpuVersion, t.cpuVersion);
    panel_->setText(field::kFirmVersion, t.firmVersion);
    panel_->setText(field::kExtCode, t.extCode);
    panel_->setText(field::kVendor, t.vendor);
}

void CFLPRRView::refreshParameterGroup() {
    if (!prm_) return;
    const ParameterTexts t = ParameterGroupTexts(*prm_);
    panel_->setText(field::kPrmName, t.name);
    panel_->setText(field::kPrmFormat, t.format);
    panel_->setText(field::kPrmVersion, t.version);
    panel_->setText(field::kPrmProcessorVersion, t.processorVersion);
}

void CFLPRRView::refreshLoadFileGroup() {
    if (!loadFileHandle() || !hasLoadRecord_) return;
    const LoadFileTexts t = LoadFileGroupTexts(*loadFileHandle(), lastLoadRecord_);
    panel_->setText(field::kLoadName, SourcesName(t.name, loadedSources_));
    panel_->setText(field::kLoadDate, t.date);
    panel_->setText(field::kLoadChecksum, t.checksum);
    panel_->setText(field::kLoadArea, t.area);
}

void CFLPRRView::refreshConnectionGroup() {
    if (!prm_) return;
    panel_->setText(field::kPort, PortText(settings_.portIndex));
    panel_->setText(field::kSpeed, SpeedName(settings_.speedIndex));
    const QString range = RangeText(settings_, *prm_);
    if (!range.isNull()) panel_->setText(field::kRange, range);
    panel_->setText(field::kFreq, settings_.freq);
    panel_->setText(field::kMultiply, settings_.multiply);
}

// ---------------------------------------------------------------------------
// Device Setup

void CFLPRRView::setDeviceSetupDialog(std::unique_ptr<DeviceSetupDialog> dialog) {
    setupDialog_ = std::move(dialog);
    emit commandStateChanged();
}

void CFLPRRView::replace(DeviceParameters *record) {
    if (record == prm_) return;
    PRRFreePRM(prm_);
    prm_ = record;
    emit commandStateChanged();
}

void CFLPRRView::onDeviceSetup() {
    if (busy_ || !setupDialog_) return;
    runDeviceSetup();
    // Cancelled, refused by a check or stored: the dialog may have read or
    // dropped the parameter record and changed the settings either way.
    emit commandStateChanged();
}

void CFLPRRView::runDeviceSetup() {
    appendLog(QStringLiteral(">>COMMAND: Device Setup"));
    SetupSettings &s = settings_;
    if (prm_ && prmReadAtStart_) {
        if (s.freq.isEmpty()) s.freq = QString::asprintf("%.2f", prm_->typeSet7);
        if (s.multiply.isEmpty()) s.multiply = QString::asprintf("%.2f", static_cast<double>(prm_->typeSet2));
        if (s.showStart == -1) s.showStart = prm_->typeSet11;
        if (s.showEnd == -1) s.showEnd = prm_->typeSet12;
        prmSearchPath_ = s.prmFileName;
        s.selStart = QString::asprintf("%06X", prm_->typeSet11);
        s.selEnd = QString::asprintf("%06X", prm_->typeSet12);
    } else if (prmSearchPath_.isEmpty()) {
        prmSearchPath_ = QStringLiteral("*.prm");
    }

    DeviceSetupValues v;
    StandardPageValues &st = v.standard;
    st.visiblePower = s.visiblePower;
    st.enableAllCom = s.enableAllCom;
    st.prmPath = prmSearchPath_;
    st.prmFolders = ParameterFolders(programFolder_);
    st.port = s.portIndex;
    st.prmListIndex = s.prmIndex != -1 ? 0 : -1;
    st.portName = s.portName;
    st.portDetail = s.portDetail;
    st.speedIndex = s.speedIndex;
    st.freq = s.freq;
    st.multiply = s.multiply;
    st.supValue = s.supValue;
    st.autoMode = s.autoMode;
    st.showStart = s.showStart;
    st.showEnd = s.showEnd;
    st.showAddr = s.showAddr;
    st.selectProg = s.selectProg;
    st.selStart = s.selStart;
    st.selEnd = s.selEnd;
    st.powerMessage = s.powerMessage;
    AdvancePageValues &ad = v.advance;
    ad.visiblePower = s.visiblePower;
    ad.securityEnabled = s.securityEnabled;
    ad.commandOptions = s.commandOptions & 0xFF;
    ad.optBlk = s.optBlk;
    ad.optVeri = s.optVeri;
    ad.optSec = s.optSec;
    ad.optSum = s.optSum;
    ad.secProgBlock = s.secProgBlock;
    ad.secEraseBlock = s.secEraseBlock;
    ad.secChipErase = s.secChipErase;
    ad.optionText1 = s.optionText1;
    ad.optionText2 = s.optionText2;
    ad.powerMessage = s.powerMessage;

    if (!setupDialog_->run(this, v, *this)) {
        appendLog(QStringLiteral("Cancel Device Setup."));
        return;
    }
    // Whatever the checks below keep of the choices is on disk at once: a
    // crash later must not lose a setup.
    struct SaveOnReturn {
        CFLPRRView *view;
        ~SaveOnReturn() { view->saveSettingsNow(); }
    } save{this};
    if (!prm_) st.prmPath.clear();
    auto reject = [&](const char *text, bool markRejected) {
        prompts_.message(this, QString::fromLatin1(text), BoxIcon::Exclamation);
        if (markRejected) s.prmIndex = -1;
    };
    if (st.port < 0) return reject("None Select Port ComboBox. Retry Please.", true);
    s.portIndex = st.port;
    s.portName = st.portName.left(20);
    s.portDetail = st.portDetail.left(100);
    if (st.speedIndex < 0) return reject("None Select Speed ComboBox. Retry Please.", true);
    s.speedIndex = st.speedIndex;
    if (st.freq.isEmpty()) return reject("None Input Frequency Value. Retry Please.", true);
    s.freq = st.freq;
    if (st.multiply.isEmpty()) return reject("None Input Multiply Rate Value. Retry Please.", true);
    s.multiply = st.multiply;
    s.showStart = st.showStart;
    s.showAddr = st.showAddr;
    s.optVeri = ad.optVeri;
    s.showEnd = st.showEnd;
    s.optBlk = ad.optBlk;
    s.secProgBlock = ad.secProgBlock;
    s.optSec = ad.optSec;
    s.optSum = ad.optSum;
    s.secEraseBlock = ad.secEraseBlock;
    s.secChipErase = ad.secChipErase;
    s.optionText1 = ad.optionText1;
    s.optionText2 = ad.optionText2;
    s.commandOptions = s.optionBits();
    s.autoMode = st.autoMode;
    if (st.supValue < 0) return reject("None Input Check Chip/Block/Area. Retry Please.", true);
    s.supValue = st.supValue;
    FillAreaRecord(area_, s, prm_);
    if (st.prmPath.isEmpty()) return reject("None Input Parameter File. Retry Please.", false);
    s.prmFileName = st.prmPath;
    prmSearchPath_ = st.prmPath;
    s.powerMessage = (st.powerMessage || ad.powerMessage) ? 1 : 0;
    refreshParameterGroup();
    refreshConnectionGroup();
    appendLog(QStringLiteral("PRM File Read OK."));
    panel_->refresh();
}

// ---------------------------------------------------------------------------
// Record

void CFLPRRView::setRecordUi(std::unique_ptr<RecordUi> ui) { recordUi_ = std::move(ui); }

void CFLPRRView::setRecordDatabase(const QString &url, bool demo) {
    recordDatabase_ = url;
    demo_ = demo;
}

quillrecord::RecordOptions CFLPRRView::recordOptions() const {
    const RecordSettings &r = settings_.record;
    quillrecord::RecordOptions o;
    // A demo's virtual target is nothing a production record should hold,
    // unless this run was told where to record.
    o.enabled = !recordDatabase_.isEmpty() || (!demo_ && r.enabled != 0);
    o.url = Utf8(recordDatabase_.isEmpty() ? r.database : recordDatabase_);
    o.station = r.station.isEmpty() ? quillrecord::HostName() : Utf8(r.station);
    o.operatorName = r.operatorName.isEmpty() ? quillrecord::LoginName() : Utf8(r.operatorName);
    return o;
}

bool CFLPRRView::openRecord(const quillclient::CommandRequest &request) {
    quillrecord::RecordOptions options = recordOptions();
    options.commandName = quillclient::CommandName(request.command);
    options.optionsText = OptionsText(settings_);
    recorder_ = std::make_unique<quillrecord::RunRecorder>();
    std::string why;
    if (!recorder_->Open(options, &why)) {
        recorder_.reset();
        const QString reason = QString::fromStdString(why);
        appendLog(QStringLiteral(">>Record Error: ") + reason);
        prompts_.message(this,
                         QStringLiteral("Cannot record the run\n%1.\n\nNo device was touched. Choose another database, "
                                        "or turn recording off, in File > Record Settings.")
                             .arg(reason),
                         BoxIcon::Exclamation);
        return false;
    }
    runFacts_ = quillrecord::RunFacts{};
    runFacts_.command = request.command;
    runFacts_.prmPath = LibraryPath(settings_.prmFileName).toStdString();
    runFacts_.prmChecksum = quillclient::ParameterChecksumText(runFacts_.prmPath);
    if (quillclient::NeedsLoadFile(request.command)) {
        const std::vector<quillclient::LoadSource> sources = LibrarySources(loadedSources_);
        for (const quillclient::LoadSource &source : sources)
            runFacts_.loadPath += (runFacts_.loadPath.empty() ? "" : " ") + quillclient::SourceText(source);
        runFacts_.loadSources = quillrecord::SourceDigests(sources);
    }
    runFacts_.device = prm_;
    runFacts_.area = request.area;
    runFacts_.autoRange = request.autoRange;
    runFacts_.loads = {quillclient::NeedsLoadFile(request.command) ? request.loadFile : nullptr};
    return true;
}

void CFLPRRView::recordRun(const quillclient::RunResult &result) {
    if (!runOpen_) return;
    runOpen_ = false;
    run_.Finished(result, runFacts_.command);
    std::unique_ptr<quillrecord::RunRecorder> recorder = std::move(recorder_);
    if (!recorder || !recorder->active()) return;
    std::vector<std::string> lost;
    if (recorder->Record(runFacts_, {run_.result()}, &lost)) return;
    const QString reason = QString::fromStdString(lost.empty() ? std::string() : lost[0]);
    appendLog(QStringLiteral(">>Record Error: the run is not recorded: ") + reason);
    prompts_.message(this, QStringLiteral("The run is not recorded\n%1.").arg(reason), BoxIcon::Exclamation);
}

void CFLPRRView::onRecordSettings() {
    if (busy_ || !recordUi_) return;
    RecordDefaults defaults;
    defaults.database = QString::fromStdString(quillrecord::DefaultRecordUrl());
    defaults.station = QString::fromStdString(quillrecord::HostName());
    defaults.operatorName = QString::fromStdString(quillrecord::LoginName());
    RecordSettings values = settings_.record;
    if (!recordUi_->editSettings(this, values, defaults)) return;
    settings_.record = values;
    saveSettingsNow();
}

void CFLPRRView::onHistory() {
    if (!recordUi_) return;
    const quillrecord::RecordOptions options = recordOptions();
    const std::string url = options.url.empty() ? quillrecord::DefaultRecordUrl() : options.url;
    std::string why;
    std::unique_ptr<quillrecord::RecordStore> store = url.empty() ? nullptr : quillrecord::OpenRecordStore(url, &why);
    HistoryView history;
    quillrecord::HistoryFilter newest;
    newest.limit = kHistoryRows;
    quillrecord::HistoryFilter today;
    today.since = quillrecord::UtcNow().substr(0, 10);
    std::vector<quillrecord::RunRow> todays;
    if (!store || !store->Query(newest, &history.rows, &why) || !store->Query(today, &todays, &why)) {
        if (url.empty()) why = "no database: set one in File > Record Settings";
        prompts_.message(this, QStringLiteral("Cannot read the record\n%1.").arg(QString::fromStdString(why)),
                         BoxIcon::Exclamation);
        return;
    }
    history.source = QString::fromStdString(store->Describe());
    history.today = quillrecord::Summarize(todays);
    recordUi_->showHistory(this, history);
}
