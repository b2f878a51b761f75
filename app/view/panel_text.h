// Texts of the information panel, computed from the library's records and
// the settings.
#pragma once

#include <QString>

#include "quillctl.h"
#include "shell/settings.h"

struct DeviceTexts {
    QString name, cpuVersion, firmVersion, extCode, vendor;
};
struct ParameterTexts {
    QString name, format, version, processorVersion;
};
struct LoadFileTexts {
    QString name, date, checksum, area;
};

// From the connect's final record.
DeviceTexts DeviceGroupTexts(const ProgressRecord &record);
// From the current parameter record.
ParameterTexts ParameterGroupTexts(const DeviceParameters &prm);
// From a load-file handle whose read has finished and its last record.
LoadFileTexts LoadFileGroupTexts(const LoadFileHandle &handle, const LoadProgressRecord &record);

// "1.23" from 0x0123: high byte in hex, low byte as two hex digits.
QString VersionWordText(uint16_t word);
QString PortText(int portIndex);
// The Range text, or a null QString when the range leaves the text as it was
// (Area, no choice, or block numbers the block table does not hold).
QString RangeText(const SetupSettings &s, const DeviceParameters &prm);

// File name and extension of a path, without the folder.
QString FileNamePart(const QString &path);

// Why a file the user named cannot be read, in a user's words: missing, a
// folder, unreadable, empty. Empty when none of these holds.
QString FileProblem(const QString &path);
// As FileProblem, then why the load-file reader would refuse it; the
// library's refusal when it refused for another reason.
QString LoadFileProblem(const QString &path);

// As FileProblem, then the parameter-file reader's refusal.
QString ParameterFileProblem(const QString &path);

// Library texts are fixed-size character arrays; read at most `size` bytes.
QString FixedText(const char *text, std::size_t size);
