// Profile: the program's INI-style settings file.
//
// The file holds "[Section]" lines and "Key=Value" lines. Section and key
// names match without regard to case, integers are written as signed decimal
// text and read back as signed numbers, and everything the program does not
// write (comments, other sections, unknown keys) is kept as it stands.
// QSettings is not used: it escapes section names with spaces.
#pragma once

#include <QString>
#include <QStringList>

class Profile {
public:
    // Longest text a read hands back; longer values are cut.
    static constexpr int kMaxText = 4095;

    // Reads `path` if it exists; a missing or unreadable file is an empty profile.
    explicit Profile(QString path);

    const QString &path() const { return path_; }

    // A missing section or key gives `fallback`. A value without leading
    // digits gives 0; values beyond 32 bits are clamped.
    int readInt(const QString &section, const QString &key, int fallback) const;
    QString readText(const QString &section, const QString &key, const QString &fallback) const;
    bool hasKey(const QString &section, const QString &key) const;

    // Changes the profile in memory; save() writes it out.
    void writeInt(const QString &section, const QString &key, int value);
    void writeText(const QString &section, const QString &key, const QString &value);

    // Writes the whole file through a temporary file renamed over the old
    // one, so a crash never leaves a truncated profile. Creates the folder.
    // Returns false when the file cannot be written.
    bool save() const;

    // Text of the file as save() would write it.
    QString toText() const;

    // Integer parsing used by readInt, exposed for tests.
    static int parseInt(const QString &text);

private:
    struct Line {
        QString raw;      // the line as read or written
        QString section;  // section name for a header line
        QString key;      // key for a Key=Value line
        QString value;
        enum Kind { Other, Header, Entry } kind = Other;
    };

    // Index of the entry line, or -1.
    int findEntry(const QString &section, const QString &key) const;
    int findHeader(const QString &section) const;
    // Index after the last line belonging to the section starting at `header`.
    int sectionEnd(int header) const;

    QString path_;
    QList<Line> lines_;
};
