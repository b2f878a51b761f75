#include "shell/settings.h"

#include "shell/profile.h"

namespace {
const QString kLoadFile = QStringLiteral("Load File");
const QString kParameterFile = QStringLiteral("Parameter File");
const QString kCommDevice = QStringLiteral("COMM Device");
const QString kOscillator = QStringLiteral("Supply Oscillator");
const QString kOperationMode = QStringLiteral("Operation Mode");
const QString kCommandOptions = QStringLiteral("Command Options");
const QString kSecurityFlags = QStringLiteral("Security Flags");
const QString kDeviceSetup = QStringLiteral("Device Setup");
const QString kOptionMode = QStringLiteral("Option Mode");
const QString kRecord = QStringLiteral("Record");
const QString kBinaryFiles = QStringLiteral("Binary Files");

QString AddressText(const LoadSourceSetting &s) {
    return s.binary ? QStringLiteral("0x") + QString::number(s.address, 16).toUpper() : QString();
}

// An address as AddressText writes it; false for anything else.
bool ReadAddress(const QString &text, quint32 *address) {
    bool ok = false;
    const qulonglong v = text.startsWith(QStringLiteral("0x")) ? text.mid(2).toULongLong(&ok, 16) : 0;
    if (!ok || v > 0xFFFFFFFFull) return false;
    *address = static_cast<quint32>(v);
    return true;
}

// The path under `pathKey` and its address (empty: not a raw binary) under
// `addressKey`; false when there is no path, or an address that cannot be
// read (such a binary is dropped rather than put anywhere).
bool ReadSource(const Profile &p, const QString &section, const QString &pathKey, const QString &addressKey,
                LoadSourceSetting *out) {
    *out = LoadSourceSetting{p.readText(section, pathKey, QString()), false, 0};
    const QString address = p.readText(section, addressKey, QString());
    if (out->path.isEmpty()) return false;
    if (address.isEmpty()) return true;
    out->binary = true;
    return ReadAddress(address, &out->address);
}

QList<LoadSourceSetting> ReadSourceList(const Profile &p, const QString &section, const QString &name, int count) {
    QList<LoadSourceSetting> list;
    LoadSourceSetting s;
    for (int i = 1; i <= count; ++i)
        if (ReadSource(p, section, name + QString::number(i), QStringLiteral("Address%1").arg(i), &s)) list.append(s);
    return list;
}

void WriteSourceList(Profile &p, const QString &section, const QString &name, const QList<LoadSourceSetting> &list) {
    for (int i = 0; i < list.size(); ++i) {
        p.writeText(section, name + QString::number(i + 1), list[i].path);
        p.writeText(section, QStringLiteral("Address%1").arg(i + 1), AddressText(list[i]));
    }
}
}  // namespace

QList<LoadSourceSetting> LoadSourcesOf(const SetupSettings &s) {
    if (!s.loadSources.isEmpty()) return s.loadSources;
    if (s.loadFileName.isEmpty()) return {};
    return {LoadSourceSetting{s.loadFileName, false, 0}};
}

void LoadSettings(const Profile &p, SetupSettings &s) {
    const QString none;
    s.loadFileName = p.readText(kLoadFile, QStringLiteral("Name"), none);
    // `Name` is the first source (all a profile of one file ever held);
    // Source2.. follow it when the image has several. A list with a source
    // that cannot be read is not loaded in part: it would be another image.
    const int sources = p.readInt(kLoadFile, QStringLiteral("Sources"), 1);
    s.loadSources.clear();
    if (!s.loadFileName.isEmpty() && sources >= 1 && sources <= 255) {
        LoadSourceSetting one;
        bool whole = ReadSource(p, kLoadFile, QStringLiteral("Name"), QStringLiteral("Address1"), &one);
        if (whole) s.loadSources.append(one);
        for (int i = 2; whole && i <= sources; ++i) {
            whole = ReadSource(p, kLoadFile, QStringLiteral("Source%1").arg(i), QStringLiteral("Address%1").arg(i), &one);
            if (whole) s.loadSources.append(one);
        }
        if (!whole) s.loadSources.clear(), s.loadFileName.clear();
        // One text file is what loadFileName says alone.
        if (s.loadSources.size() == 1 && !s.loadSources[0].binary) s.loadSources.clear();
    }
    s.binaryAddresses = ReadSourceList(p, kBinaryFiles, QStringLiteral("File"), kRememberedBinaries);
    s.prmFileName = p.readText(kParameterFile, QStringLiteral("Name"), none);
    s.prmIndex = p.readInt(kParameterFile, QStringLiteral("Index"), -1);
    s.portIndex = p.readInt(kCommDevice, QStringLiteral("Port"), -1);
    s.speedIndex = p.readInt(kCommDevice, QStringLiteral("Speed"), -1);
    s.freq = p.readText(kOscillator, QStringLiteral("Freq"), none);
    s.multiply = p.readText(kOscillator, QStringLiteral("Multipy"), none);
    s.supValue = p.readInt(kOperationMode, QStringLiteral("SupValue"), -1);
    s.showStart = p.readInt(kOperationMode, QStringLiteral("ShowStart"), -1);
    s.showEnd = p.readInt(kOperationMode, QStringLiteral("ShowEnd"), -1);
    s.showAddr = p.readInt(kOperationMode, QStringLiteral("ShowAddr"), 0);
    s.selectProg = p.readInt(kOperationMode, QStringLiteral("SelectProg"), 0);
    s.selStart = p.readText(kOperationMode, QStringLiteral("SelStart"), none);
    s.selEnd = p.readText(kOperationMode, QStringLiteral("SelEnd"), none);
    s.commandOptions = p.readInt(kCommandOptions, QStringLiteral("Value"), 15);
    s.optBlk = p.readInt(kCommandOptions, QStringLiteral("Blk"), 0);
    s.optVeri = p.readInt(kCommandOptions, QStringLiteral("Veri"), 0);
    s.optSec = p.readInt(kCommandOptions, QStringLiteral("Sec"), 0);
    s.optSum = p.readInt(kCommandOptions, QStringLiteral("Sum"), 0);
    // The stored Value only documents the bits; the four fields decide.
    s.commandOptions = s.optionBits();
    s.secProgBlock = p.readInt(kSecurityFlags, QStringLiteral("ProgBlock"), 0);
    s.secEraseBlock = p.readInt(kSecurityFlags, QStringLiteral("EraseBlock"), 0);
    s.secChipErase = p.readInt(kSecurityFlags, QStringLiteral("ChipErase"), 0);
    s.powerMessage = p.readInt(kDeviceSetup, QStringLiteral("PowerMessage"), 1);
    s.visiblePower = p.readInt(kDeviceSetup, QStringLiteral("VisiblePower"), 1);
    s.securityEnabled = 1;
    s.enableAllCom = p.readInt(kDeviceSetup, QStringLiteral("EnableAllCom"), 0);
    s.autoMode = 0;
    s.record.enabled = p.readInt(kRecord, QStringLiteral("Enabled"), 1) != 0 ? 1 : 0;
    s.record.database = p.readText(kRecord, QStringLiteral("Database"), none);
    s.record.station = p.readText(kRecord, QStringLiteral("Station"), none);
    s.record.operatorName = p.readText(kRecord, QStringLiteral("Operator"), none);
}

void SaveSettings(Profile &p, const SetupSettings &s) {
    p.writeInt(QStringLiteral("Quillrom2"), QStringLiteral("Install"), 1);
    p.writeText(kLoadFile, QStringLiteral("Name"), s.loadFileName);
    const QList<LoadSourceSetting> sources = LoadSourcesOf(s);
    p.writeInt(kLoadFile, QStringLiteral("Sources"), static_cast<int>(sources.size()));
    for (int i = 0; i < sources.size(); ++i) {
        if (i > 0) p.writeText(kLoadFile, QStringLiteral("Source%1").arg(i + 1), sources[i].path);
        p.writeText(kLoadFile, QStringLiteral("Address%1").arg(i + 1), AddressText(sources[i]));
    }
    WriteSourceList(p, kBinaryFiles, QStringLiteral("File"), s.binaryAddresses.mid(0, kRememberedBinaries));
    p.writeText(kParameterFile, QStringLiteral("Name"), s.prmFileName);
    p.writeInt(kParameterFile, QStringLiteral("Index"), s.prmIndex);
    p.writeInt(kCommDevice, QStringLiteral("Port"), s.portIndex);
    p.writeInt(kCommDevice, QStringLiteral("Speed"), s.speedIndex);
    p.writeText(kOscillator, QStringLiteral("Freq"), s.freq);
    p.writeText(kOscillator, QStringLiteral("Multipy"), s.multiply);
    p.writeInt(kOperationMode, QStringLiteral("SupValue"), s.supValue);
    p.writeInt(kOperationMode, QStringLiteral("ShowAddr"), s.showAddr);
    p.writeInt(kOperationMode, QStringLiteral("ShowStart"), s.showStart);
    p.writeInt(kOperationMode, QStringLiteral("ShowEnd"), s.showEnd);
    p.writeInt(kOperationMode, QStringLiteral("SelectProg"), s.selectProg);
    p.writeText(kOperationMode, QStringLiteral("SelStart"), s.selStart);
    p.writeText(kOperationMode, QStringLiteral("SelEnd"), s.selEnd);
    p.writeInt(kCommandOptions, QStringLiteral("Value"), s.commandOptions);
    p.writeInt(kCommandOptions, QStringLiteral("Blk"), s.optBlk);
    p.writeInt(kCommandOptions, QStringLiteral("Veri"), s.optVeri);
    p.writeInt(kCommandOptions, QStringLiteral("Sec"), s.optSec);
    p.writeInt(kCommandOptions, QStringLiteral("Sum"), s.optSum);
    p.writeInt(kSecurityFlags, QStringLiteral("ProgBlock"), s.secProgBlock);
    p.writeInt(kSecurityFlags, QStringLiteral("EraseBlock"), s.secEraseBlock);
    p.writeInt(kSecurityFlags, QStringLiteral("ChipErase"), s.secChipErase);
    p.writeInt(kDeviceSetup, QStringLiteral("PowerMessage"), s.powerMessage);
    p.writeInt(kOptionMode, QStringLiteral("Auto"), s.autoMode);
    p.writeInt(kRecord, QStringLiteral("Enabled"), s.record.enabled);
    p.writeText(kRecord, QStringLiteral("Database"), s.record.database);
    p.writeText(kRecord, QStringLiteral("Station"), s.record.station);
    p.writeText(kRecord, QStringLiteral("Operator"), s.record.operatorName);
}
