// Texts of the information panel, computed from the library's records and
// the settings.
#pragma once

#include <QString>

#include "client/files.h"
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

// Why a file the user named cannot be used, in a user's words: "no such
// file", "the file is empty", "it is not an Intel HEX or S-record file...".
QString FileStatusWords(const quillclient::FileStatus &status);

// Library texts are fixed-size character arrays; read at most `size` bytes.
QString FixedText(const char *text, std::size_t size);
