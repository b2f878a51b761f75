#include "shell/app_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString ProfilePath(const QString &commandLine) {
    if (!commandLine.isEmpty()) return commandLine;
    const QString fromEnvironment = qEnvironmentVariable("QUILLROM2_PROFILE");
    if (!fromEnvironment.isEmpty()) return fromEnvironment;
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The base directory rules ignore a relative XDG_CONFIG_HOME.
    if (config.isEmpty() || QDir::isRelativePath(config)) config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/quillrom2/Quillrom2.INI");
}

QStringList ParameterFolders(const QString &programFolder) {
    const QString sub = QStringLiteral("/quillrom2/prm");
    QStringList folders;
    // The base directory rules ignore relative entries.
    QString home = qEnvironmentVariable("XDG_DATA_HOME");
    if (home.isEmpty() || QDir::isRelativePath(home)) home = QDir::homePath() + QStringLiteral("/.local/share");
    folders << QDir::cleanPath(home + sub);
    QString dirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dirs.isEmpty()) dirs = QStringLiteral("/usr/local/share:/usr/share");
    for (const QString &d : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        if (!QDir::isRelativePath(d)) folders << QDir::cleanPath(d + sub);
    if (!programFolder.isEmpty()) folders << QDir::cleanPath(programFolder + QStringLiteral("PRM"));
    folders.removeDuplicates();
    return folders;
}

QString ProgramFolder() { return QCoreApplication::applicationDirPath() + QLatin1Char('/'); }

QString SamplesFolder() {
    const QString here = QCoreApplication::applicationDirPath();
    QStringList candidates = {
        here + QStringLiteral("/../share/quillrom2/samples"),
        here + QStringLiteral("/../share/quillrom2"),
        here + QStringLiteral("/../samples"),
        here + QStringLiteral("/../../samples"),
    };
#ifdef QUILLROM2_SOURCE_DIR
    candidates << QStringLiteral(QUILLROM2_SOURCE_DIR "/samples");
#endif
    for (const QString &dir : candidates) {
        if (QFileInfo::exists(dir + QStringLiteral("/demo.prm")) && QFileInfo::exists(dir + QStringLiteral("/demo.hex")))
            return QDir(dir).canonicalPath();
    }
    return {};
}
