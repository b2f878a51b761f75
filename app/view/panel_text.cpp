#include "view/panel_text.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

QString FixedText(const char *text, std::size_t size) {
    return QString::fromLatin1(text, static_cast<qsizetype>(strnlen(text, size)));
}

QString VersionWordText(uint16_t word) { return QString::asprintf("%x.%02x", word >> 8, word & 0xFF); }

DeviceTexts DeviceGroupTexts(const ProgressRecord &r) {
    DeviceTexts t;
    t.name = FixedText(r.deviceName, sizeof r.deviceName);
    t.cpuVersion = VersionWordText(r.versionA[0]);
    t.firmVersion = VersionWordText(r.versionB[0]);
    t.extCode = QString::asprintf("%02X%02Xh", r.idBytes[1], r.idBytes[2]);
    t.vendor = QString::asprintf("%02Xh", r.idBytes[0]);
    return t;
}

ParameterTexts ParameterGroupTexts(const DeviceParameters &p) {
    ParameterTexts t;
    t.name = FixedText(p.deviceName, sizeof p.deviceName);
    t.format = QString::asprintf("%04X", p.deviceCode);
    t.version = FixedText(p.deviceSubName, sizeof p.deviceSubName);
    t.processorVersion = FixedText(p.fileVersion, sizeof p.fileVersion);
    return t;
}

LoadFileTexts LoadFileGroupTexts(const LoadFileHandle &h, const LoadProgressRecord &r) {
    LoadFileTexts t;
    const QByteArray path(h.loadFilePath, static_cast<qsizetype>(strnlen(h.loadFilePath, sizeof h.loadFilePath)));
    t.name = FileNamePart(QFile::decodeName(path)).toUpper();
    t.date = QString::asprintf("%4d/%02d/%02d %02d:%02d:%02d", r.fileYear, r.fileMonth, r.fileDay, r.fileHour,
                               r.fileMinute, r.fileSecond);
    t.checksum = QString::asprintf("%04Xh", h.imageChecksum);
    t.area = QString::asprintf("%06Xh-%06Xh", h.lowestAddress, h.highestAddress);
    return t;
}

QString PortText(int portIndex) {
    // No port chosen (or a number no COM port has) shows nothing rather than
    // a port that does not exist, such as "COM0".
    if (portIndex < 0 || portIndex > 254) return {};
    return QString::asprintf("COM%d", portIndex + 1);
}

QString RangeText(const SetupSettings &s, const DeviceParameters &p) {
    if (s.supValue == 0) return QStringLiteral("Chip");
    if (s.supValue != 1) return {};
    const int first = s.showStart == -1 ? p.typeSet11 : s.showStart;
    const int last = s.showEnd == -1 ? p.typeSet12 : s.showEnd;
    if (s.showAddr != 1) return QString::asprintf("Block %03d-%03d", first, last);
    auto inTable = [&](int block) { return p.blockTable && block >= 0 && block < p.blockCount; };
    if (!inTable(first) || !inTable(last)) return {};
    return QString::asprintf("Block %06Xh-%06Xh", p.blockTable[first].start, p.blockTable[last].end);
}

QString FileStatusWords(const quillclient::FileStatus &s) {
    using F = quillclient::FileStatus;
    switch (s.fault) {
    case F::kNone: return {};
    case F::kMissing: return QStringLiteral("no such file");
    case F::kFolder: return QStringLiteral("it is a folder, not a file");
    case F::kNotRegular: return QStringLiteral("it is not a regular file");
    case F::kUnreadable: return QStringLiteral("it cannot be read (%1)").arg(QString::fromLocal8Bit(std::strerror(s.error)));
    case F::kEmpty: return QStringLiteral("the file is empty");
    case F::kPathTooLong: return QStringLiteral("its path is longer than the 255 bytes the reader takes");
    case F::kNotLoadFile:
        return QStringLiteral("it is not an Intel HEX, S-record or ELF file (a raw binary is loaded from a .bin file)");
    case F::kRefused:
        return QStringLiteral("the library refused to open it (a path it cannot take, or no memory for the image)");
    case F::kReadFailed: return QString::fromLatin1(s.detail.c_str());
    case F::kNoData: return QStringLiteral("it holds no data");
    case F::kNoAnswer: return QStringLiteral("the reader did not answer");
    case F::kInterrupted: return QStringLiteral("the read was stopped");
    case F::kNotParameterFile: return QStringLiteral("the reader refused it: it is not a parameter file it can use");
    case F::kBadChecksum: return QStringLiteral("its checksum does not match its contents");
    case F::kMergeFailed: return QString::fromLocal8Bit(s.detail.c_str());
    }
    return {};
}

QString FileNamePart(const QString &path) { return QFileInfo(path).fileName(); }
