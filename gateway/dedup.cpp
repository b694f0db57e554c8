#include "gateway/dedup.h"

#include <QCryptographicHash>

QByteArray DedupIndex::keyOf(const Target &target, const QString &text)
{
    const QString who =
        target.to.isEmpty() ? u'#' + target.number + u'@' + target.center : u'=' + target.to + u'@' + target.center;
    return keyOf({who, target.optimize ? QStringLiteral("1") : QStringLiteral("0"), text});
}

QByteArray DedupIndex::keyOf(const QStringList &parts)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // Each part with its length, so that no two lists of parts run together.
    for (const QString &part : parts) {
        const QByteArray bytes = part.toUtf8();
        hash.addData(QByteArray::number(bytes.size()) + ':');
        hash.addData(bytes);
    }
    return hash.result().left(12).toHex();
}

namespace
{

// An id or a page id as the index holds it: printable ASCII without spaces.
bool plainWord(const QString &word)
{
    return word.size() <= 128 &&
           std::all_of(word.cbegin(), word.cend(), [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7F; });
}

} // namespace

DedupIndex DedupIndex::parse(const QByteArray &bytes)
{
    DedupIndex index;
    for (const QByteArray &line : bytes.split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        bool ok = false;
        if (words.size() == 2 && words[0] == "suppressed") {
            index.suppressed = words[1].toULongLong(&ok);
        } else if (words.size() == 4 && words[0].size() == 24) {
            const qint64 added = words[1].toLongLong(&ok);
            const QString id = QString::fromLatin1(words[2]);
            const QString page = words[3] == "-" ? QString() : QString::fromLatin1(words[3]);
            if (ok && !id.isEmpty() && plainWord(id) && plainWord(page))
                index.entries << Entry{words[0], added, id, page};
        }
    }
    if (index.entries.size() > MaxEntries)
        index.entries.remove(0, index.entries.size() - MaxEntries);
    return index;
}

QByteArray DedupIndex::toBytes() const
{
    QByteArray out = "suppressed " + QByteArray::number(suppressed) + '\n';
    for (const Entry &e : entries)
        out += e.key + ' ' + QByteArray::number(e.addedMs) + ' ' + e.id.toLatin1() + ' ' +
               (e.page.isEmpty() ? QByteArray("-") : e.page.toLatin1()) + '\n';
    return out;
}

std::optional<QString> DedupIndex::repeats(const QByteArray &key, const QString &page, qint64 nowMs,
                                           qint64 windowMs) const
{
    if (windowMs <= 0)
        return std::nullopt;
    for (auto e = entries.crbegin(); e != entries.crend(); ++e) {
        if (e->key != key || e->addedMs > nowMs || nowMs - e->addedMs >= windowMs)
            continue;
        if (!page.isEmpty() && e->page == page)
            return std::nullopt; // a step or repeat of the same page
        return e->id;
    }
    return std::nullopt;
}

void DedupIndex::record(const QByteArray &key, const QString &id, const QString &page, qint64 nowMs, qint64 windowMs)
{
    // A clock set back leaves entries "from the future": they go with the old ones.
    entries.removeIf([&](const Entry &e) { return e.addedMs > nowMs || nowMs - e.addedMs >= windowMs; });
    if (!plainWord(id) || !plainWord(page))
        return;
    entries << Entry{key, nowMs, id, page};
    if (entries.size() > MaxEntries)
        entries.removeFirst();
}

DedupIndex DedupIndex::load(const QString &dataFolder, const QString &fileName)
{
    QString problem;
    const std::optional<QByteArray> bytes = sendqueue::readState(dataFolder, fileName, &problem);
    return bytes ? parse(*bytes) : DedupIndex{};
}
