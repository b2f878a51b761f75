#include "view/device_requests.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

double LeadingNumber(const QString &text) {
    const std::string s = text.toStdString();
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    // from_chars takes neither a sign nor "inf"/"nan" words here: only digits
    // and a point may start the number.
    if (i >= s.size() || !(std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) return 0.0;
    double value = 0.0;
    const auto result = std::from_chars(s.data() + i, s.data() + s.size(), value, std::chars_format::general);
    if (result.ec != std::errc() || !std::isfinite(value)) return 0.0;
    return negative ? -value : value;
}

bool PortChosen(const SetupSettings &s) { return s.portIndex >= 0 && s.portIndex <= 254; }

bool SpeedChosen(const SetupSettings &s) { return s.speedIndex >= 0 && s.speedIndex < kSpeedCount; }

ResetRecord BuildResetRecord(const SetupSettings &s, int32_t appWord) {
    ResetRecord r{};
    r.frequency = LeadingNumber(s.freq);
    r.multiplier = LeadingNumber(s.multiply);
    r.portNumber = PortChosen(s) ? static_cast<uint8_t>(s.portIndex + 1) : 0;  // 0: no port
    r.speedIndex = static_cast<uint8_t>(s.speedIndex);
    r.commandOptions = static_cast<uint8_t>(s.commandOptions & 0xFF);
    if (appWord == 0) r.commandOptions &= static_cast<uint8_t>(~PRR_OPT_SECURITY);
    r.securityFlags = static_cast<uint8_t>((s.secProgBlock ? PRR_SECURITY_DISABLE_PROGRAM : 0) |
                                           (s.secEraseBlock ? PRR_SECURITY_DISABLE_BLOCK_ERASE : 0) |
                                           (s.secChipErase ? PRR_SECURITY_DISABLE_CHIP_ERASE : 0));
    r.powerCycleMode = s.powerMessage;
    return r;
}

void FillAreaRecord(AreaRecord &area, const SetupSettings &s, const DeviceParameters *prm) {
    switch (s.supValue) {
    case 0: area.mode = PRR_AREA_CHIP; break;
    case 1: area.mode = PRR_AREA_BLOCK; break;
    case 2: area.mode = PRR_AREA_AREA; break;
    default: break;
    }
    const int defaultFirst = prm ? prm->typeSet11 : 0;
    const int defaultLast = prm ? prm->typeSet12 : 0;
    area.first = s.showStart == -1 ? defaultFirst : s.showStart;
    area.last = s.showEnd == -1 ? defaultLast : s.showEnd;
    area.showAddress = s.showAddr;
    area.reserved = 0;
}

QString SpeedName(int speedIndex) {
    return speedIndex >= 0 && speedIndex < kSpeedCount ? QStringLiteral("115200") : QString();
}
