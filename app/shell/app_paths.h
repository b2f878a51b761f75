// Where the program finds its profile and its sample files.
#pragma once

#include <QString>

// The profile file: `commandLine` (--profile) when given, else
// $QUILLROM2_PROFILE, else Quillrom2.INI in $XDG_CONFIG_HOME/quillrom2
// (~/.config/quillrom2 when that is unset).
QString ProfilePath(const QString &commandLine);

// Folder of the running program, ending with a separator.
QString ProgramFolder();

// The folder holding demo.prm and demo.hex: installed beside the program
// (share/quillrom2), in the build's source tree, or empty when none is found.
QString SamplesFolder();
