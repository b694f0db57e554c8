#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Our own INI files (queue/queue.ini, mail.ini): UTF-8, "[Section]" headers and
// "Key=Value" lines, sections and keys matched without regard to case, the value
// taken raw (trimmed, no list splitting, no escapes, no quotes removed) up to 4 KiB.
// Lines starting with ';' or '#' are comments. Everything odd is kept as a problem
// with its line number, for the reader to report at start; a bad line is skipped,
// never half read.
class IniFile
{
public:
    static constexpr qsizetype MaxValueBytes = 4096;
    static constexpr qsizetype MaxFileBytes = 1024 * 1024;

    struct Entry {
        QString section; // as written
        QString key;     // as written
        QString value;
        int line = 0;
    };

    // Reads a file. A missing file is an empty IniFile (ok() true, exists() false); a file
    // that cannot be read, or is larger than MaxFileBytes, gives ok() false with the reason.
    static IniFile load(const QString &path);
    static IniFile parse(const QByteArray &bytes);

    bool ok() const { return m_error.isEmpty(); }
    bool exists() const { return m_exists; }
    const QString &error() const { return m_error; }
    // "line N: ..." texts for lines that were skipped or cut.
    const QStringList &problems() const { return m_problems; }
    const QList<Entry> &entries() const { return m_entries; }

    // The section names in the order they first appear (as first written).
    QStringList sections() const;
    bool hasSection(const QString &section) const;
    bool has(const QString &section, const QString &key) const;
    // The last value of the key in the section; fallback when there is none.
    QString value(const QString &section, const QString &key, const QString &fallback = {}) const;
    // "line N: [Section] Key" for each key of the section that is not among known.
    QStringList unknownKeys(const QString &section, const QStringList &known) const;

private:
    QList<Entry> m_entries;
    QStringList m_sectionOrder;
    QStringList m_problems;
    QString m_error;
    bool m_exists = false;
};
