#include "inifile.h"

#include <QFile>
#include <QStringDecoder>

namespace
{

QString problem(int line, const QString &what)
{
    return QStringLiteral("%1 行目: %2").arg(line).arg(what);
}

} // namespace

IniFile IniFile::load(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return {};
    IniFile ini;
    if (!file.open(QIODevice::ReadOnly)) {
        ini.m_error = QStringLiteral("%1 を読めません（%2）。").arg(path, file.errorString());
        return ini;
    }
    if (file.size() > MaxFileBytes) {
        ini.m_error = QStringLiteral("%1 が大きすぎます（%2 バイトまで）。").arg(path).arg(MaxFileBytes);
        return ini;
    }
    ini = parse(file.read(MaxFileBytes + 1));
    ini.m_exists = true;
    return ini;
}

IniFile IniFile::parse(const QByteArray &bytes)
{
    IniFile ini;
    ini.m_exists = true;
    QByteArrayView rest(bytes);
    if (rest.startsWith("\xEF\xBB\xBF"))
        rest = rest.sliced(3);
    QString section;
    int lineNo = 0;
    while (!rest.isEmpty()) {
        ++lineNo;
        qsizetype end = rest.indexOf('\n');
        QByteArrayView raw = end < 0 ? rest : rest.first(end);
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        if (raw.endsWith('\r'))
            raw.chop(1);
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString line = utf8(raw);
        if (utf8.hasError()) {
            ini.m_problems << problem(lineNo,
                                      QStringLiteral("UTF-8 ではない文字があります。この行を読み飛ばしました。"));
            continue;
        }
        const QString text = line.trimmed();
        if (text.isEmpty() || text.startsWith(u';') || text.startsWith(u'#'))
            continue;
        if (text.startsWith(u'[')) {
            if (!text.endsWith(u']') || text.size() < 3) {
                ini.m_problems << problem(lineNo, QStringLiteral("セクションの見出し %1 が閉じていません。").arg(text));
                section.clear();
                continue;
            }
            section = text.mid(1, text.size() - 2).trimmed();
            if (!ini.hasSection(section))
                ini.m_sectionOrder << section;
            continue;
        }
        const qsizetype eq = text.indexOf(u'=');
        if (eq <= 0) {
            ini.m_problems << problem(lineNo, QStringLiteral("「キー=値」の形ではありません：%1").arg(text.left(80)));
            continue;
        }
        if (section.isEmpty()) {
            ini.m_problems << problem(
                lineNo, QStringLiteral("セクションの外のキー %1 は読みません。").arg(text.left(eq).trimmed()));
            continue;
        }
        QString value = text.mid(eq + 1).trimmed();
        if (value.toUtf8().size() > MaxValueBytes) {
            ini.m_problems << problem(
                lineNo,
                QStringLiteral("値が %1 バイトを超えています。このキーを読みませんでした。").arg(MaxValueBytes));
            continue;
        }
        ini.m_entries.append({section, text.left(eq).trimmed(), value, lineNo});
    }
    return ini;
}

QStringList IniFile::sections() const
{
    return m_sectionOrder;
}

bool IniFile::hasSection(const QString &section) const
{
    for (const QString &s : m_sectionOrder)
        if (s.compare(section, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool IniFile::has(const QString &section, const QString &key) const
{
    for (const Entry &e : m_entries)
        if (e.section.compare(section, Qt::CaseInsensitive) == 0 && e.key.compare(key, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QString IniFile::value(const QString &section, const QString &key, const QString &fallback) const
{
    for (auto it = m_entries.crbegin(); it != m_entries.crend(); ++it)
        if (it->section.compare(section, Qt::CaseInsensitive) == 0 && it->key.compare(key, Qt::CaseInsensitive) == 0)
            return it->value;
    return fallback;
}

QStringList IniFile::unknownKeys(const QString &section, const QStringList &known) const
{
    QStringList out;
    for (const Entry &e : m_entries) {
        if (e.section.compare(section, Qt::CaseInsensitive) != 0)
            continue;
        if (!known.contains(e.key, Qt::CaseInsensitive))
            out << problem(e.line, QStringLiteral("[%1] の %2 は知らないキーです。").arg(e.section, e.key));
    }
    return out;
}
