#include "shell/profile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <climits>

namespace {

bool SameName(const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

// A line break inside a value would end the line and could smuggle in a key
// or section of its own, so breaks are stored as blanks.
QString OneLine(QString value) {
    value.replace(QLatin1Char('\r'), QLatin1Char(' '));
    value.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return value;
}

}  // namespace

Profile::Profile(QString path) : path_(std::move(path)) {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) return;
    const QString text = QString::fromUtf8(file.readAll());
    QStringList rows = text.split(QLatin1Char('\n'));
    // A final line end leaves one empty piece that is not a line of its own.
    if (!rows.isEmpty() && rows.last().isEmpty()) rows.removeLast();
    for (QString row : rows) {
        if (row.endsWith(QLatin1Char('\r'))) row.chop(1);
        Line line;
        line.raw = row;
        const QString trimmed = row.trimmed();
        const int close = trimmed.indexOf(QLatin1Char(']'));
        if (trimmed.startsWith(QLatin1Char('[')) && close > 0) {
            line.kind = Line::Header;
            line.section = trimmed.mid(1, close - 1).trimmed();
        } else if (!trimmed.startsWith(QLatin1Char(';')) && trimmed.indexOf(QLatin1Char('=')) > 0) {
            const int eq = trimmed.indexOf(QLatin1Char('='));
            line.kind = Line::Entry;
            line.key = trimmed.left(eq).trimmed();
            line.value = trimmed.mid(eq + 1).trimmed();
        }
        lines_.append(line);
    }
}

int Profile::findHeader(const QString &section) const {
    for (int i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Line::Header && SameName(lines_[i].section, section)) return i;
    return -1;
}

int Profile::findEntry(const QString &section, const QString &key) const {
    bool inSection = false;
    for (int i = 0; i < lines_.size(); ++i) {
        const Line &line = lines_[i];
        if (line.kind == Line::Header)
            inSection = SameName(line.section, section);
        else if (inSection && line.kind == Line::Entry && SameName(line.key, key))
            return i;
    }
    return -1;
}

int Profile::sectionEnd(int header) const {
    int end = header + 1;
    for (int i = header + 1; i < lines_.size() && lines_[i].kind != Line::Header; ++i)
        if (!lines_[i].raw.trimmed().isEmpty()) end = i + 1;
    return end;
}

int Profile::parseInt(const QString &text) {
    const QString t = text.trimmed();
    int i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == QLatin1Char('-') || t[i] == QLatin1Char('+'))) negative = t[i++] == QLatin1Char('-');
    long long value = 0;
    for (; i < t.size() && t[i] >= QLatin1Char('0') && t[i] <= QLatin1Char('9'); ++i) {
        value = value * 10 + (t[i].unicode() - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<int>(value);
}

bool Profile::hasKey(const QString &section, const QString &key) const { return findEntry(section, key) >= 0; }

int Profile::readInt(const QString &section, const QString &key, int fallback) const {
    const int i = findEntry(section, key);
    return i < 0 ? fallback : parseInt(lines_[i].value);
}

QString Profile::readText(const QString &section, const QString &key, const QString &fallback) const {
    const int i = findEntry(section, key);
    return (i < 0 ? fallback : lines_[i].value).left(kMaxText);
}

void Profile::writeInt(const QString &section, const QString &key, int value) {
    writeText(section, key, QString::number(value));
}

void Profile::writeText(const QString &section, const QString &key, const QString &value) {
    Line entry;
    entry.kind = Line::Entry;
    entry.key = key;
    entry.value = OneLine(value);
    const int existing = findEntry(section, key);
    if (existing >= 0) {
        entry.key = lines_[existing].key;  // keep the spelling found in the file
        entry.raw = entry.key + QLatin1Char('=') + entry.value;
        lines_[existing] = entry;
        return;
    }
    entry.raw = key + QLatin1Char('=') + entry.value;
    const int header = findHeader(section);
    if (header >= 0) {
        lines_.insert(sectionEnd(header), entry);
        return;
    }
    Line head;
    head.kind = Line::Header;
    head.section = section;
    head.raw = QLatin1Char('[') + section + QLatin1Char(']');
    lines_.append(head);
    lines_.append(entry);
}

QString Profile::toText() const {
    QString text;
    for (const Line &line : lines_) {
        text += line.raw;
        text += QLatin1Char('\n');
    }
    return text;
}

bool Profile::save() const {
    const QFileInfo info(path_);
    if (!QDir().mkpath(info.absolutePath())) return false;
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly)) return false;
    const QByteArray bytes = toText().toUtf8();
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
