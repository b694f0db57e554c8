#include "store/sendqueue.h"

#include "store/filestore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStringDecoder>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendqueue
{
namespace
{

const QString Suffix = QStringLiteral(".msg");
const QString WhySuffix = QStringLiteral(".why");
const QString BatchSuffix = QStringLiteral(".batch");
// The runner's files beside the messages (writeSide): lines.json.
constexpr char SideSuffix[] = ".json";
// The latest time a message file may name (the end of year 9999).
constexpr qint64 LastTime = 253402300799999;
constexpr int MaxDelay = 7 * 24 * 3600;

QString folderOf(const QString &dataFolder, State state)
{
    switch (state) {
    case State::Sending:
        return workFolder(dataFolder);
    case State::Failed:
        return failedFolder(dataFolder);
    default:
        return queueFolder(dataFolder);
    }
}

QByteArray path(const QString &folder, const QString &name)
{
    return QFile::encodeName(folder + name);
}

QString systemError(int error = errno)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

Result failure(Result::Kind kind, const QString &text)
{
    return {kind, text};
}

bool validId(const QString &id)
{
    if (id.isEmpty() || id.size() > 128 || id.startsWith(u'.'))
        return false;
    return std::none_of(id.cbegin(), id.cend(),
                        [](QChar c) { return c == u'/' || c.unicode() < 0x20 || c == u'\x7f'; });
}

// A fresh id, sortable by the time it was made: within one process two in one
// millisecond get successive ones, from whichever thread they come (an intake adds
// beside the runner's own thread).
QString freshId()
{
    static std::atomic<qint64> last = 0;
    qint64 previous = last.load();
    qint64 mine = 0;
    do
        mine = qMax(previous + 1, QDateTime::currentMSecsSinceEpoch());
    while (!last.compare_exchange_weak(previous, mine));
    const QString random = QString::number(QRandomGenerator::global()->bounded(0x100000), 16).rightJustified(5, u'0');
    return QDateTime::fromMSecsSinceEpoch(mine, Qt::UTC).toString(QStringLiteral("yyyyMMddTHHmmsszzz")) +
           QLatin1Char('-') + random;
}

// The name as shown: the bytes that are not UTF-8 as \xNN.
QString shownName(const QByteArray &name, bool *utf8)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(name);
    *utf8 = !decoder.hasError();
    if (*utf8)
        return text;
    QString out;
    for (char c : name) {
        const uchar b = uchar(c);
        out += b >= 0x20 && b < 0x7f ? QString(QChar(b)) : QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
    }
    return out;
}

// Why a file with this status can never be a message of ours; empty when it can.
QString fileProblem(const struct stat &st)
{
    if (const QString kind = filestore::notRegularText(st.st_mode); !kind.isEmpty())
        return kind;
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return QStringLiteral("ほかのユーザー（uid %1）のファイルです").arg(st.st_uid);
    if (st.st_size > MaxFileBytes)
        return QStringLiteral("%1 バイトあり、大きすぎます（%2 バイトまで）").arg(st.st_size).arg(MaxFileBytes);
    return {};
}

// A small file's bytes, read without following a link or blocking on a FIFO, only when
// fileProblem() has nothing against it (checked on the open file, so what is checked
// is what is read). The problem, if any.
QString readSmallFile(const QByteArray &name, QByteArray *bytes)
{
    struct stat st = {};
    if (::lstat(name.constData(), &st) != 0)
        return systemError();
    if (QString problem = fileProblem(st); !problem.isEmpty())
        return problem;
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return systemError();
    QString problem;
    if (::fstat(fd, &st) != 0)
        problem = systemError();
    else
        problem = fileProblem(st);
    if (problem.isEmpty()) {
        bytes->resize(qsizetype(st.st_size) + 1);
        qsizetype done = 0;
        while (done < bytes->size()) {
            const ssize_t n = ::read(fd, bytes->data() + done, size_t(bytes->size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                problem = systemError();
            if (n <= 0)
                break;
            done += n;
        }
        bytes->truncate(done);
        if (done > MaxFileBytes)
            problem = QStringLiteral("読む間に %1 バイトを超えました").arg(MaxFileBytes);
    }
    ::close(fd);
    return problem;
}

// Writes the bytes under a temporary name beside the file and renames it over the file:
// the name itself is replaced, a link there is never followed.
Result writeFile(const QString &folder, const QString &name, const QByteArray &bytes, bool durable = true)
{
    QByteArray temporary = path(folder, name) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return failure(Result::Kind::IoFailed,
                       QStringLiteral("%1%2 を書けません（%3）。").arg(folder, name, systemError()));
    int error = 0;
    qsizetype done = 0;
    while (done < bytes.size() && error == 0) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno != EINTR)
            error = errno;
        else if (n > 0)
            done += n;
    }
    // On disk before it takes the old file's name, so that a system crash cannot leave an empty file.
    if (error == 0 && durable && ::fdatasync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.constData(), path(folder, name).constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        return failure(Result::Kind::IoFailed,
                       QStringLiteral("%1%2 を書けません（%3）。").arg(folder, name, systemError(error)));
    }
    return {};
}

// Renames from onto to unless a file is there already (EEXIST then).
bool moveNew(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL) // a file system without it: ids are fresh, a plain rename will do
        return false;
    return ::rename(from.constData(), to.constData()) == 0;
}

// A batch's private folder, written by a writer that failed or died: its files, then itself.
void removePrivateFolder(const QByteArray &folder)
{
    if (DIR *dir = ::opendir(folder.constData())) {
        while (const dirent *d = ::readdir(dir)) {
            const QByteArray name = folder + '/' + d->d_name;
            struct stat st = {};
            if (::lstat(name.constData(), &st) == 0 && S_ISREG(st.st_mode))
                ::unlink(name.constData());
        }
        ::closedir(dir);
    }
    ::rmdir(folder.constData());
}

// The spool's folders are made as they are needed, for this user alone.
bool makeFolder(const QString &folder)
{
    return ::mkdir(QFile::encodeName(folder).constData(), 0700) == 0 || errno == EEXIST;
}

Result move(const QString &fromFolder, const QString &toFolder, const QString &name)
{
    makeFolder(toFolder);
    if (::rename(path(fromFolder, name).constData(), path(toFolder, name).constData()) == 0)
        return {};
    if (errno == ENOENT)
        return failure(Result::Kind::NotQueued, QStringLiteral("%1%2 がありません。").arg(fromFolder, name));
    return failure(Result::Kind::IoFailed,
                   QStringLiteral("%1%2 を %3 に移せません（%4）。").arg(fromFolder, name, toFolder, systemError()));
}

// The entry's contents, or why it is none.
void load(const QString &folder, Entry &e, bool utf8Name)
{
    if (!utf8Name) {
        e.problem = QStringLiteral("ファイル名が UTF-8 ではありません");
        return;
    }
    if (!validId(e.id)) {
        e.problem = QStringLiteral("ファイル名が ID の形ではありません");
        return;
    }
    QByteArray bytes;
    e.problem = readSmallFile(QFile::encodeName(folder) + e.fileName, &bytes);
    e.message.id = e.id;
    if (e.problem.isEmpty()) {
        if (auto problem = fromJson(bytes, &e.message))
            e.problem = *problem;
    }
    if (!e.problem.isEmpty()) {
        e.message = QueuedMessage{};
        e.message.id = e.id;
        struct stat st = {};
        if (::lstat((QFile::encodeName(folder) + e.fileName).constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid != ::geteuid() && st.st_uid != 0)
            e.otherOwner = st.st_uid;
    }
}

// Why an entry of failed/ is there, when the reason is kept beside it.
QString reasonBeside(const QString &folder, const QString &id)
{
    QByteArray bytes;
    if (!readSmallFile(path(folder, id + WhySuffix), &bytes).isEmpty())
        return {};
    return capped(QString::fromUtf8(bytes).trimmed(), MaxFieldBytes);
}

Result keepReason(const QString &folder, const QString &id, const QString &reason)
{
    return writeFile(folder, id + WhySuffix, capped(reason, MaxFieldBytes).toUtf8() + '\n');
}

bool folderIsOurs(const QString &folder, QString *problem)
{
    const QByteArray name = QFile::encodeName(folder);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        *problem = QStringLiteral("フォルダー %1 を作れません（%2）。").arg(folder, systemError());
        return false;
    }
    struct stat st = {};
    // Without the slash at its end, so that a link there is seen as one.
    if (::lstat(name.chopped(name.endsWith('/') ? 1 : 0).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *problem = QStringLiteral("%1 がフォルダーではありません（リンクは使えません）。").arg(folder);
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *problem = QStringLiteral("フォルダー %1 はほかのユーザー（uid %2）のものです。").arg(folder).arg(st.st_uid);
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *problem =
            QStringLiteral("フォルダー %1 はほかのユーザーも書き込めます。chmod go-w %1 としてください。").arg(folder);
        return false;
    }
    if (!(st.st_mode & S_IWUSR) || ::access(name.constData(), W_OK | X_OK) != 0) {
        *problem = QStringLiteral("フォルダー %1 に書き込めません。").arg(folder);
        return false;
    }
    return true;
}

} // namespace

QString queueFolder(const QString &dataFolder)
{
    return dataFolder + QStringLiteral("queue/");
}

QString workFolder(const QString &dataFolder)
{
    return queueFolder(dataFolder) + QStringLiteral("work/");
}

QString failedFolder(const QString &dataFolder)
{
    return queueFolder(dataFolder) + QStringLiteral("failed/");
}

QString stateFolder(const QString &dataFolder)
{
    return queueFolder(dataFolder) + QStringLiteral("state/");
}

QByteArray toJson(const QueuedMessage &m)
{
    QJsonObject o;
    o[QStringLiteral("to")] = m.to;
    if (!m.number.isEmpty())
        o[QStringLiteral("number")] = m.number;
    if (!m.center.isEmpty())
        o[QStringLiteral("center")] = m.center;
    o[QStringLiteral("optimize")] = m.optimize;
    o[QStringLiteral("message")] = m.text;
    if (!m.severity.isEmpty())
        o[QStringLiteral("severity")] = m.severity;
    o[QStringLiteral("attempts")] = m.attempts;
    QJsonArray delays;
    for (int d : m.delays)
        delays.append(d);
    o[QStringLiteral("delays")] = delays;
    o[QStringLiteral("tried")] = m.tried;
    o[QStringLiteral("notBefore")] = QDateTime::fromMSecsSinceEpoch(m.notBefore, Qt::UTC).toString(Qt::ISODateWithMs);
    o[QStringLiteral("added")] = QDateTime::fromMSecsSinceEpoch(m.added, Qt::UTC).toString(Qt::ISODateWithMs);
    if (!m.onSent.isEmpty())
        o[QStringLiteral("onSent")] = m.onSent;
    if (!m.onFailed.isEmpty())
        o[QStringLiteral("onFailed")] = m.onFailed;
    if (!m.lastError.isEmpty())
        o[QStringLiteral("lastError")] = m.lastError;
    if (!m.failure.isEmpty())
        o[QStringLiteral("failure")] = m.failure;
    if (!m.page.isEmpty())
        o[QStringLiteral("page")] = m.page;
    if (!m.why.isEmpty())
        o[QStringLiteral("why")] = m.why;
    if (m.step > 0)
        o[QStringLiteral("step")] = m.step;
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

std::optional<QString> fromJson(const QByteArray &bytes, QueuedMessage *m)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (!doc.isObject())
        return QStringLiteral("JSON として読めません（%1）").arg(error.errorString());
    const QJsonObject o = doc.object();
    const QString id = m->id;
    *m = QueuedMessage{};
    m->id = id;
    const auto text = [&](const char *key) { return o.value(QLatin1String(key)).toString(); };
    m->to = text("to");
    m->number = text("number");
    m->center = text("center");
    m->optimize = o.value(QStringLiteral("optimize")).toBool();
    m->text = text("message");
    m->severity = capped(text("severity"), 64);
    m->attempts = qBound(0, o.value(QStringLiteral("attempts")).toInt(3), MaxAttempts);
    for (const QJsonValue &d : o.value(QStringLiteral("delays")).toArray())
        m->delays << qBound(0, d.toInt(), MaxDelay);
    m->tried = qBound(0, o.value(QStringLiteral("tried")).toInt(), MaxAttempts + 1);
    const auto time = [&](const char *key) {
        const QDateTime t = QDateTime::fromString(text(key), Qt::ISODateWithMs);
        return t.isValid() ? qBound<qint64>(0, t.toMSecsSinceEpoch(), LastTime) : 0;
    };
    m->notBefore = time("notBefore");
    m->added = time("added");
    m->onSent = text("onSent");
    m->onFailed = text("onFailed");
    m->lastError = capped(text("lastError"), MaxFieldBytes);
    m->failure = capped(text("failure"), MaxFieldBytes);
    m->page = capped(text("page"), MaxFieldBytes);
    m->why = capped(text("why"), MaxFieldBytes);
    m->step = qBound(0, o.value(QStringLiteral("step")).toInt(), 1000);
    if (m->to.isEmpty() && (m->number.isEmpty() || m->center.isEmpty()))
        return QStringLiteral("宛先（to、または number と center）がありません");
    if (const QString problem = textSizeProblem(m->text); !problem.isEmpty())
        return problem;
    for (const QString *hook : {&m->onSent, &m->onFailed}) {
        if (hook->toUtf8().size() > MaxFieldBytes)
            return QStringLiteral("フックのコマンドが %1 バイトを超えています").arg(MaxFieldBytes);
    }
    return std::nullopt;
}

QString capped(const QString &text, qsizetype bytes)
{
    if (text.size() * 3 <= bytes)
        return text;
    QByteArray utf8 = text.toUtf8();
    if (utf8.size() <= bytes)
        return text;
    qsizetype end = bytes - 3; // room for the ellipsis
    while (end > 0 && (uchar(utf8[end]) & 0xC0) == 0x80)
        --end;
    utf8.truncate(end);
    return QString::fromUtf8(utf8) + u'…';
}

QString escaped(const QString &text, bool keepNewlines)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n' && keepNewlines) {
            out += c;
            continue;
        }
        switch (c.category()) {
        case QChar::Other_Control: // C0, DEL and C1
            out += u < 0x100 ? QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'))
                             : QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
            break;
        case QChar::Other_Format: // direction marks and overrides, which reorder what follows
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            out += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString textSizeProblem(const QString &text)
{
    // Three bytes a character at most below U+10000, so most texts need no counting.
    if (text.size() * 3 <= MaxTextBytes)
        return {};
    const qsizetype bytes = text.toUtf8().size();
    if (bytes <= MaxTextBytes)
        return {};
    return QStringLiteral("メッセージが大きすぎます（UTF-8 で %1 バイト、%2 バイトまで）").arg(bytes).arg(MaxTextBytes);
}

int retryDelay(const QList<int> &delays, int tried)
{
    if (delays.isEmpty() || tried < 1)
        return 0;
    return delays[qMin<qsizetype>(tried, delays.size()) - 1];
}

Result checkFolders(const QString &dataFolder)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(dataFolder).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return failure(Result::Kind::Unsafe, QStringLiteral("データフォルダー %1 がありません。").arg(dataFolder));
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return failure(
            Result::Kind::Unsafe,
            QStringLiteral("データフォルダー %1 はほかのユーザーも書き込めます。chmod go-w %1 としてください。")
                .arg(dataFolder));
    for (const QString &folder :
         {queueFolder(dataFolder), workFolder(dataFolder), failedFolder(dataFolder), stateFolder(dataFolder)}) {
        QString problem;
        if (!folderIsOurs(folder, &problem))
            return failure(Result::Kind::Unsafe, problem);
    }
    return {};
}

Result add(const QString &dataFolder, QueuedMessage &m)
{
    QList<QueuedMessage> one{m};
    one.first().id.clear(); // always a fresh one
    const Result r = add(dataFolder, one);
    m = one.first();
    return r;
}

Result add(const QString &dataFolder, QList<QueuedMessage> &batch)
{
    for (const QueuedMessage &m : std::as_const(batch)) {
        if (const QString problem = textSizeProblem(m.text); !problem.isEmpty())
            return failure(Result::Kind::Unusable, problem + u'。');
    }
    const QString queue = queueFolder(dataFolder);
    if (!makeFolder(queue))
        return failure(Result::Kind::IoFailed,
                       QStringLiteral("フォルダー %1 を作れません（%2）。").arg(queue, systemError()));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (QueuedMessage &m : batch) {
        if (m.id.isEmpty())
            m.id = freshId();
        if (m.added == 0)
            m.added = now;
        if (m.page.isEmpty())
            m.page = batch.first().id;
    }
    if (batch.size() == 1) // one file: its own rename brings it in whole
        return writeFile(queue, batch.first().id + Suffix, toJson(batch.first()));
    if (batch.isEmpty())
        return {};
    QByteArray temporary = path(queue, QStringLiteral(".new-XXXXXX"));
    if (!::mkdtemp(temporary.data()))
        return failure(Result::Kind::IoFailed,
                       QStringLiteral("%1 にバッチを書けません（%2）。").arg(queue, systemError()));
    const QString privateFolder = QFile::decodeName(temporary) + u'/';
    const QString batchName = batch.first().id + BatchSuffix;
    Result r;
    for (const QueuedMessage &m : std::as_const(batch)) {
        if (r = writeFile(privateFolder, m.id + Suffix, toJson(m)); !r.ok())
            break;
    }
    if (r.ok() && ::rename(temporary.constData(), path(queue, batchName).constData()) != 0)
        r = failure(Result::Kind::IoFailed,
                    QStringLiteral("%1%2 を置けません（%3）。").arg(queue, batchName, systemError()));
    if (!r.ok()) {
        removePrivateFolder(temporary);
        return r;
    }
    // In the queue now, all of it: the rest is tidying that anyone may finish.
    unpackBatches(dataFolder);
    return {};
}

QString newId()
{
    return freshId();
}

Result unpackBatches(const QString &dataFolder)
{
    const QString queue = queueFolder(dataFolder);
    QList<QByteArray> batches;
    if (DIR *dir = ::opendir(QFile::encodeName(queue).constData())) {
        while (const dirent *d = ::readdir(dir)) {
            const QByteArray name(d->d_name);
            if (!name.startsWith('.') && name.endsWith(BatchSuffix.toLatin1()))
                batches << name;
        }
        ::closedir(dir);
    }
    Result r;
    for (const QByteArray &name : std::as_const(batches)) {
        const QByteArray folder = QFile::encodeName(queue) + name;
        struct stat st = {};
        // Only a folder of this user's that nobody else may change; a link is never followed.
        if (::lstat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
            (st.st_mode & (S_IWGRP | S_IWOTH)))
            continue;
        DIR *dir = ::opendir(folder.constData());
        if (!dir)
            continue;
        while (const dirent *d = ::readdir(dir)) {
            const QByteArray file(d->d_name);
            if (file.startsWith('.') || !file.endsWith(".msg"))
                continue;
            const QByteArray from = folder + '/' + file;
            const QByteArray to = QFile::encodeName(queue) + file;
            // Never over a message already there: a name taken gets a fresh id.
            if (!moveNew(from, to) && errno == EEXIST)
                moveNew(from, QFile::encodeName(queue + freshId() + Suffix));
            // ENOENT: another process moved it first.
            if (::lstat(from.constData(), &st) == 0)
                r = failure(Result::Kind::IoFailed,
                            QStringLiteral("%1%2/%3 をキューに移せません（%4）。")
                                .arg(queue, QFile::decodeName(name), QFile::decodeName(file), systemError()));
        }
        ::closedir(dir);
        ::rmdir(folder.constData()); // fails while anything is left, or once another took it away
    }
    return r;
}

namespace
{

// The names of the message files in a folder, sorted.
QList<QByteArray> messageNames(const QString &folder)
{
    QList<QByteArray> names;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return names;
    while (const dirent *d = ::readdir(dir)) {
        const QByteArray name(d->d_name);
        if (!name.startsWith('.') && name.endsWith(".msg") && name.size() > 4)
            names << name;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

Entry entry(const QString &dataFolder, State state, const QByteArray &fileName)
{
    const QString folder = folderOf(dataFolder, state);
    Entry e;
    e.state = state;
    e.fileName = fileName;
    bool utf8 = false;
    e.id = shownName(fileName.chopped(4), &utf8);
    load(folder, e, utf8);
    if (state == State::Failed) {
        const QString why = reasonBeside(folder, e.id);
        if (!e.problem.isEmpty() && !why.isEmpty())
            e.problem = why;
        else if (e.problem.isEmpty() && e.message.failure.isEmpty())
            e.message.failure = why;
    }
    return e;
}

QList<Entry> entries(const QString &dataFolder, State state)
{
    QList<Entry> out;
    for (const QByteArray &name : messageNames(folderOf(dataFolder, state)))
        out << entry(dataFolder, state, name);
    return out;
}

std::optional<Stamp> stamp(const QString &dataFolder, State state, const QByteArray &fileName)
{
    struct stat st = {};
    if (::lstat(path(folderOf(dataFolder, state), QString()).append(fileName).constData(), &st) != 0)
        return std::nullopt;
    return Stamp{fileName, quint64(st.st_ino), qint64(st.st_size),
                 qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
}

QList<Stamp> stamps(const QString &dataFolder, State state)
{
    QList<Stamp> out;
    for (const QByteArray &name : messageNames(folderOf(dataFolder, state)))
        out << stamp(dataFolder, state, name).value_or(Stamp{name});
    return out;
}

QStringList waitingIds(const QString &dataFolder)
{
    unpackBatches(dataFolder);
    QStringList ids;
    bool utf8 = false;
    for (const QByteArray &name : messageNames(queueFolder(dataFolder)))
        ids << shownName(name.chopped(4), &utf8);
    return ids;
}

qsizetype waitingCount(const QString &dataFolder)
{
    const QString queue = queueFolder(dataFolder);
    qsizetype n = 0;
    DIR *dir = ::opendir(QFile::encodeName(queue).constData());
    if (!dir)
        return 0;
    while (const dirent *d = ::readdir(dir)) {
        const QByteArray name(d->d_name);
        if (name.startsWith('.'))
            continue;
        if (name.endsWith(".msg") && name.size() > 4)
            ++n;
        else if (name.endsWith(BatchSuffix.toLatin1())) // one unpacked meanwhile is counted once at least
            n += messageNames(queue + QFile::decodeName(name) + u'/').size();
    }
    ::closedir(dir);
    return n;
}

std::optional<QueuedMessage> read(const QString &folder, const QString &id, QString *problem)
{
    Entry e;
    e.id = id;
    e.fileName = QFile::encodeName(id + Suffix);
    load(folder, e, true);
    if (!e.problem.isEmpty()) {
        *problem = e.problem;
        return std::nullopt;
    }
    return e.message;
}

Result take(const QString &dataFolder, const QString &id)
{
    return move(queueFolder(dataFolder), workFolder(dataFolder), id + Suffix);
}

Result putBack(const QString &dataFolder, const QueuedMessage &m)
{
    const QString name = m.id + Suffix;
    Result written = writeFile(workFolder(dataFolder), name, toJson(m));
    // Written or not, the file leaves work/: the old contents are better than a message
    // that looks as if it were being sent.
    Result moved = move(workFolder(dataFolder), queueFolder(dataFolder), name);
    if (!moved.ok())
        return written.ok() ? moved : failure(Result::Kind::IoFailed, written.text + moved.text);
    return written;
}

Result fail(const QString &dataFolder, QueuedMessage m, const QString &reason, State from)
{
    m.failure = capped(reason, MaxFieldBytes);
    const QString folder = folderOf(dataFolder, from);
    const QString name = m.id + Suffix;
    Result written = writeFile(folder, name, toJson(m));
    if (Result moved = move(folder, failedFolder(dataFolder), name); !moved.ok())
        return written.ok() ? moved : failure(Result::Kind::IoFailed, written.text + moved.text);
    if (!written.ok())
        keepReason(failedFolder(dataFolder), m.id, m.failure);
    return written;
}

Result quarantine(const QString &dataFolder, const Entry &entry, QString *newId)
{
    const QString from = folderOf(dataFolder, entry.state);
    const QString to = failedFolder(dataFolder);
    bool utf8 = false;
    QString id = shownName(entry.fileName.chopped(qMin<qsizetype>(4, entry.fileName.size())), &utf8);
    struct stat st = {};
    if (!utf8 || !validId(id) || ::lstat(path(to, id + Suffix).constData(), &st) == 0)
        id = freshId();
    const QByteArray source = QFile::encodeName(from) + entry.fileName;
    makeFolder(to);
    if (::rename(source.constData(), path(to, id + Suffix).constData()) != 0)
        return failure(errno == ENOENT ? Result::Kind::NotQueued : Result::Kind::IoFailed,
                       QStringLiteral("%1%2 を failed/ に移せません（%3）。").arg(from, entry.id, systemError()));
    if (newId)
        *newId = id;
    const QString reason =
        entry.id == id ? entry.problem : QStringLiteral("%1（元の名前: %2.msg）").arg(entry.problem, entry.id);
    return keepReason(to, id, reason);
}

Result finish(const QString &dataFolder, const QString &id)
{
    if (::unlink(path(workFolder(dataFolder), id + Suffix).constData()) == 0 || errno == ENOENT)
        return {};
    return failure(Result::Kind::IoFailed,
                   QStringLiteral("送った %1 を work/ から消せません（%2）。").arg(id, systemError()));
}

Result writeSide(const QString &dataFolder, const QString &name, const QByteArray &bytes)
{
    return writeFile(queueFolder(dataFolder), name, bytes);
}

namespace
{

std::optional<QByteArray> readBeside(const QString &folder, const QString &name, QString *problem)
{
    QByteArray bytes;
    *problem = readSmallFile(path(folder, name), &bytes);
    if (!problem->isEmpty()) {
        struct stat st = {};
        if (::lstat(path(folder, name).constData(), &st) != 0 && errno == ENOENT)
            problem->clear();
        return std::nullopt;
    }
    return bytes;
}

} // namespace

std::optional<QByteArray> readSide(const QString &dataFolder, const QString &name, QString *problem)
{
    return readBeside(queueFolder(dataFolder), name, problem);
}

Result writeState(const QString &dataFolder, const QString &name, const QByteArray &bytes, bool durable)
{
    if (const Result r = checkFolders(dataFolder); !r.ok())
        return r;
    return writeFile(stateFolder(dataFolder), name, bytes, durable);
}

std::optional<QByteArray> readState(const QString &dataFolder, const QString &name, QString *problem)
{
    return readBeside(stateFolder(dataFolder), name, problem);
}

QStringList stateNames(const QString &dataFolder, const QString &suffix)
{
    return QDir(stateFolder(dataFolder)).entryList({QLatin1Char('*') + suffix}, QDir::Files, QDir::Name);
}

Recovery recover(const QString &dataFolder)
{
    Recovery r;
    for (const Entry &e : entries(dataFolder, State::Sending)) {
        Result moved;
        if (!e.problem.isEmpty()) {
            moved = quarantine(dataFolder, e);
            r.problems << QStringLiteral("%1 を failed/ に移しました: %2").arg(e.id, e.problem);
        } else {
            const State to = e.message.failure.isEmpty() ? State::Waiting : State::Failed;
            moved = move(workFolder(dataFolder), folderOf(dataFolder, to), e.id + Suffix);
            r.recovered += moved.ok() ? 1 : 0;
        }
        if (!moved.ok())
            r.problems << moved.text;
    }
    if (const Result unpacked = unpackBatches(dataFolder); !unpacked.ok())
        r.problems << unpacked.text;
    // Files and batch folders a writer that died left under their temporary names: never
    // a message. A batch is written under the folder's lock, so with the lock every batch
    // folder is a dead writer's; the runner's own files beside the messages (lines.json)
    // are written by the one runner alone; a message's file may be rewritten by a command
    // without the lock, so only one left for ten minutes is a dead writer's for sure.
    const FolderLock lock(dataFolder, FolderLock::Exclusive, 0);
    const qint64 old = QDateTime::currentSecsSinceEpoch() - 600;
    for (const QString &folder : {queueFolder(dataFolder), workFolder(dataFolder), failedFolder(dataFolder)}) {
        DIR *dir = ::opendir(QFile::encodeName(folder).constData());
        if (!dir)
            continue;
        while (const dirent *d = ::readdir(dir)) {
            const QByteArray entry(d->d_name);
            const QByteArray name = QFile::encodeName(folder) + entry;
            struct stat st = {};
            if (::lstat(name.constData(), &st) != 0 || st.st_uid != ::geteuid())
                continue;
            // mkostemp's name: the file's own, a dot and six letters or digits.
            const bool temporary =
                entry.size() > 7 && entry.at(entry.size() - 7) == '.' &&
                std::all_of(entry.cend() - 6, entry.cend(), [](char c) { return std::isalnum(uchar(c)); });
            const QByteArray base = temporary ? entry.chopped(7) : QByteArray();
            if (S_ISREG(st.st_mode) && temporary &&
                ((base.endsWith(".msg") || base.endsWith(".why"))
                     ? st.st_mtime < old
                     : folder == queueFolder(dataFolder) && base.endsWith(SideSuffix) && !base.startsWith('.')))
                ::unlink(name.constData());
            else if (entry.startsWith(".new-") && S_ISDIR(st.st_mode) && (lock.isHeld() || st.st_mtime < old))
                removePrivateFolder(name);
        }
        ::closedir(dir);
    }
    return r;
}

Result retry(const QString &dataFolder, const QString &id)
{
    if (!validId(id))
        return failure(Result::Kind::BadId, QStringLiteral("ID「%1」の形が正しくありません。").arg(capped(id, 200)));
    unpackBatches(dataFolder);
    for (State state : {State::Failed, State::Waiting}) {
        const QString folder = folderOf(dataFolder, state);
        struct stat st = {};
        if (::lstat(path(folder, id + Suffix).constData(), &st) != 0)
            continue;
        QString problem;
        std::optional<QueuedMessage> m = read(folder, id, &problem);
        if (!m) {
            const QString why = state == State::Failed ? reasonBeside(folder, id) : QString();
            return failure(Result::Kind::Unusable,
                           QStringLiteral("%1 は送れないファイルです（%2）。drop で消してください。")
                               .arg(id, why.isEmpty() ? problem : why));
        }
        m->tried = 0;
        m->notBefore = 0;
        m->failure.clear();
        if (Result written = writeFile(folder, id + Suffix, toJson(*m)); !written.ok())
            return written;
        if (state == State::Failed) {
            if (Result moved = move(folder, queueFolder(dataFolder), id + Suffix); !moved.ok())
                return moved;
            ::unlink(path(folder, id + WhySuffix).constData());
        }
        return {};
    }
    if (QFile::exists(workFolder(dataFolder) + id + Suffix))
        return failure(Result::Kind::BeingSent, QStringLiteral("%1 はいま送信中です。").arg(id));
    return failure(Result::Kind::NotQueued, QStringLiteral("ID %1 のメッセージはキューにありません。").arg(id));
}

Result drop(const QString &dataFolder, const QString &id)
{
    if (!validId(id))
        return failure(Result::Kind::BadId, QStringLiteral("ID「%1」の形が正しくありません。").arg(capped(id, 200)));
    unpackBatches(dataFolder);
    for (State state : {State::Waiting, State::Failed}) {
        const QString folder = folderOf(dataFolder, state);
        const QByteArray name = path(folder, id + Suffix);
        // A folder planted under a message's name goes as well, when it is empty.
        if (::unlink(name.constData()) == 0 ||
            ((errno == EISDIR || errno == EPERM) && ::rmdir(name.constData()) == 0)) {
            ::unlink(path(folder, id + WhySuffix).constData());
            return {};
        }
        if (errno != ENOENT)
            return failure(Result::Kind::IoFailed,
                           QStringLiteral("%1%2 を消せません（%3）。").arg(folder, id + Suffix, systemError()));
    }
    struct stat st = {};
    if (::lstat(path(workFolder(dataFolder), id + Suffix).constData(), &st) == 0)
        return failure(Result::Kind::BeingSent,
                       QStringLiteral("%1 はいま送信中です。終わってから消してください。").arg(id));
    return failure(Result::Kind::NotQueued, QStringLiteral("ID %1 のメッセージはキューにありません。").arg(id));
}

QList<Entry> list(const QString &dataFolder)
{
    unpackBatches(dataFolder);
    QList<Entry> all;
    for (State state : {State::Waiting, State::Sending, State::Failed})
        all += entries(dataFolder, state);
    return all;
}

RunnerLock::RunnerLock(const QString &dataFolder) : m_lock(queueFolder(dataFolder) + QStringLiteral("runner.lock")) {}

} // namespace sendqueue
