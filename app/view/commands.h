// Command ids of the menus, toolbar and accelerators.
#pragma once

namespace cmd {
inline constexpr int kLoad = 57601;
inline constexpr int kQuit = 57665;
inline constexpr int kBlankCheck = 32774;
inline constexpr int kErase = 32775;
inline constexpr int kProgram = 32776;
inline constexpr int kVerify = 32777;
inline constexpr int kSecurity = 32780;
inline constexpr int kChecksum = 32781;
inline constexpr int kAutoprocedure = 32778;
inline constexpr int kSignatureRead = 32783;
inline constexpr int kSetup = 32772;
inline constexpr int kViewToolbar = 59392;
inline constexpr int kViewStatusBar = 59393;
inline constexpr int kAbout = 57664;
inline constexpr int kConnect = 32782;
inline constexpr int kStop = 32790;
inline constexpr int kRecordSettings = 32791;
inline constexpr int kHistory = 32792;
inline constexpr int kAddLoad = 32793;
}  // namespace cmd

// Codes of the command waiting for the end of a connect.
namespace pending {
inline constexpr int kNone = 0;
inline constexpr int kBlankCheck = 1;
inline constexpr int kErase = 2;
inline constexpr int kProgram = 3;
inline constexpr int kSecurity = 5;
inline constexpr int kChecksum = 6;
inline constexpr int kAutoprocedure = 7;
}  // namespace pending
