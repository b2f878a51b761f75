// Where the program finds its profile and its sample files.
#pragma once

#include <QString>
#include <QStringList>

// The profile file: `commandLine` (--profile) when given, else
// $QUILLROM2_PROFILE, else Quillrom2.INI in $XDG_CONFIG_HOME/quillrom2
// (~/.config/quillrom2 when that is unset).
QString ProfilePath(const QString &commandLine);

// Folder of the running program, ending with a separator.
QString ProgramFolder();

// Where parameter files are looked for, in order: $XDG_DATA_HOME/quillrom2/prm
// (~/.local/share), each of $XDG_DATA_DIRS/quillrom2/prm (/usr/local/share,
// /usr/share; the package puts its demo files there), then `programFolder`'s
// PRM/ for a build tree. Every folder is named whether it exists or not.
QStringList ParameterFolders(const QString &programFolder);

// The folder holding demo.prm and demo.hex: installed beside the program
// (share/quillrom2), in the build's source tree, or empty when none is found.
QString SamplesFolder();
