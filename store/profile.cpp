#include "store/profile.h"

#include "encoding/cp932.h"
#include "store/settingsfile.h"

#include <QFile>

namespace
{

constexpr qsizetype MaxValueBytes = 254;

QByteArrayView trimmed(QByteArrayView text)
{
    qsizetype from = 0, to = text.size();
    while (from < to && (text[from] == ' ' || text[from] == '\t'))
        ++from;
    while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t'))
        --to;
    return text.sliced(from, to - from);
}

// One pair of double quotation marks around the whole value goes; a lone mark stays as text.
QByteArrayView unquoted(QByteArrayView value)
{
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
        return value.sliced(1, value.size() - 2);
    return value;
}

// Names are ASCII; a CP932 lead byte is never an ASCII letter, so folding bytes is safe.
bool sameName(QByteArrayView a, QByteArrayView b)
{
    return a.size() == b.size() && QByteArrayView(a).compare(b, Qt::CaseInsensitive) == 0;
}

bool isLeadByte(uchar c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

QByteArray limited(QByteArrayView value)
{
    const qsizetype nul = value.indexOf('\0');
    if (nul >= 0)
        value = value.first(nul);
    qsizetype end = 0;
    while (end < value.size()) {
        const qsizetype step = isLeadByte(uchar(value[end])) && end + 1 < value.size() ? 2 : 1;
        if (end + step > MaxValueBytes)
            break;
        end += step;
    }
    return value.first(end).toByteArray();
}

// The section name of a "[name]" line, or a null view when the line is no section line.
QByteArrayView sectionName(QByteArrayView line)
{
    line = trimmed(line);
    if (!line.startsWith('['))
        return {};
    const qsizetype close = line.indexOf(']');
    const QByteArrayView name = line.sliced(1, (close < 0 ? line.size() : close) - 1);
    return name.isNull() ? QByteArrayView("") : trimmed(name);
}

} // namespace

QByteArray profileString(QByteArrayView fileBytes, QByteArrayView section, QByteArrayView key)
{
    bool inSection = false, seenSection = false;
    qsizetype pos = 0;
    while (pos < fileBytes.size()) {
        qsizetype end = pos;
        while (end < fileBytes.size() && fileBytes[end] != '\n' && fileBytes[end] != '\r')
            ++end;
        const QByteArrayView line = fileBytes.sliced(pos, end - pos);
        pos = end + 1;
        const QByteArrayView name = sectionName(line);
        if (!name.isNull()) {
            if (inSection)
                return {};
            inSection = !seenSection && sameName(name, section);
            seenSection = seenSection || inSection;
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (inSection && eq >= 0 && sameName(trimmed(line.first(eq)), key))
            return limited(unquoted(trimmed(line.sliced(eq + 1))));
    }
    return {};
}

QString ReadOption(const QString &folder, const QString &section, const QString &key)
{
    QFile file(folder + QString::fromLatin1(settingsfile::FileName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return cp932::decode(profileString(file.readAll(), cp932::encode(section), cp932::encode(key)));
}
