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

QString FileProblem(const QString &path) {
    const QFileInfo info(path);
    if (!info.exists()) return QStringLiteral("no such file");
    if (info.isDir()) return QStringLiteral("it is a folder, not a file");
    // A FIFO or a device would block the open, or never end.
    if (!info.isFile()) return QStringLiteral("it is not a regular file");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("it cannot be read (%1)").arg(file.errorString());
    if (file.size() == 0) return QStringLiteral("the file is empty");
    return {};
}

QString LoadFileProblem(const QString &path) {
    const QString problem = FileProblem(path);
    if (!problem.isEmpty()) return problem;
    // The handle keeps the name in a field of 256 bytes.
    if (QFile::encodeName(path).size() >= 256) return QStringLiteral("its path is longer than the 255 bytes the reader takes");
    QFile file(path);
    char first = 0;
    if (file.open(QIODevice::ReadOnly) && file.getChar(&first) && first != ':' && first != 'S')
        return QStringLiteral("it is not an Intel HEX or S-record file (those start with ':' or 'S')");
    return QStringLiteral("the library refused to open it (a path it cannot take, or no memory for the image)");
}

QString ParameterFileProblem(const QString &path) {
    const QString problem = FileProblem(path);
    return problem.isEmpty() ? QStringLiteral("the reader refused it: it is not a parameter file it can use") : problem;
}

QString FileNamePart(const QString &path) { return QFileInfo(path).fileName(); }
