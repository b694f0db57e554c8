#include "gateway/dedup.h"

#include "store/filestore.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

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

namespace
{

// An index as this process read it last, its file held open.
struct Kept {
    int fd = -1;
    struct stat st = {};
    DedupIndex index;
};
// A few folders' (a test's run makes many): beyond, the one to be kept makes room.
constexpr qsizetype MostKept = 8;

std::mutex keptMutex;
QHash<QString, Kept> kept;

void forget(QHash<QString, Kept>::iterator it)
{
    ::close(it->fd);
    kept.erase(it);
}

QByteArray tallyPath(const QString &dataFolder, const QString &fileName)
{
    return QFile::encodeName(sendqueue::stateFolder(dataFolder) + fileName + DedupIndex::TallySuffix);
}

} // namespace

DedupIndex DedupIndex::load(const QString &dataFolder, const QString &fileName)
{
    const FolderLock lock(dataFolder, FolderLock::Shared);
    const QString path = sendqueue::stateFolder(dataFolder) + fileName;
    const QByteArray name = QFile::encodeName(path);
    struct stat st = {};
    const bool there = ::lstat(name.constData(), &st) == 0;
    DedupIndex index;
    {
        const std::lock_guard guard(keptMutex);
        auto it = kept.find(path);
        if (there && it != kept.end() && filestore::sameFile(it->st, st)) {
            index = it->index;
        } else {
            if (it != kept.end())
                forget(it);
            QString problem;
            const std::optional<QByteArray> bytes =
                there ? sendqueue::readState(dataFolder, fileName, &problem) : std::nullopt;
            if (bytes)
                index = parse(*bytes);
            // Kept when the file open now is the one read: the same before the read and after.
            if (const int fd = bytes ? filestore::holdIfSame(name, st) : -1; fd >= 0) {
                if (kept.size() >= MostKept)
                    forget(kept.begin());
                kept.insert(path, Kept{fd, st, index});
            }
        }
    }
    struct stat tally = {};
    if (::lstat(tallyPath(dataFolder, fileName).constData(), &tally) == 0 && S_ISREG(tally.st_mode) &&
        tally.st_uid == ::geteuid()) {
        index.tallied = quint64(tally.st_size);
        index.suppressed += index.tallied;
    }
    return index;
}

sendqueue::Result DedupIndex::save(const QString &dataFolder, bool durable, const QString &fileName) const
{
    const sendqueue::Result r = sendqueue::writeState(dataFolder, fileName, toBytes(), durable);
    if (r.ok() && tallied > 0)
        ::unlink(tallyPath(dataFolder, fileName).constData());
    return r;
}

void DedupIndex::tally(const QString &dataFolder, quint64 count, const QString &fileName)
{
    // The folders were checked when the index beside it was written: a repeat is known only
    // from one. Only a file of this user's, never through a link, takes the marks.
    if (count == 0)
        return;
    const int fd = ::open(tallyPath(dataFolder, fileName).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0)
        return; // a count lost, never a page
    struct stat st = {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
        const QByteArray marks(qsizetype(count), '+');
        [[maybe_unused]] const ssize_t n = ::write(fd, marks.constData(), size_t(marks.size()));
    }
    ::close(fd);
}
