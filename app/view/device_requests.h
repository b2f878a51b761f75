// The argument records the view hands to the library, built from the settings.
#pragma once

#include <QString>

#include "quillctl.h"
#include "shell/settings.h"

// The decimal number at the start of `text` (leading blanks skipped), or 0
// when the text does not start with one. Independent of the user's locale.
double LeadingNumber(const QString &text);

// A COM port is chosen when portIndex names COM1..COM255; a speed when it
// indexes the speed list.
bool PortChosen(const SetupSettings &s);
bool SpeedChosen(const SetupSettings &s);

// The connect request. The security option bit only passes when the flash
// handle's appWord (the security-enabled flag) is set.
ResetRecord BuildResetRecord(const SetupSettings &s, int32_t appWord);

// Range of the area-taking commands. A supValue outside 0..2 keeps the
// previous mode; -1 block numbers take the parameter file's defaults, or 0
// without a parameter record.
void FillAreaRecord(AreaRecord &area, const SetupSettings &s, const DeviceParameters *prm);

// Entries of the speed list.
inline constexpr int kSpeedCount = 3;
QString SpeedName(int speedIndex);  // "" outside the list
