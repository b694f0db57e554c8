#include "gateway/values.h"

#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QList<int>> parseDelays(const QString &text)
{
    QList<int> out;
    for (QString piece : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        piece = piece.trimmed();
        int unit = 1;
        if (piece.endsWith(u's'))
            piece.chop(1);
        else if (piece.endsWith(u'm'))
            unit = 60, piece.chop(1);
        else if (piece.endsWith(u'h'))
            unit = 3600, piece.chop(1);
        bool ok = false;
        const int n = piece.toInt(&ok);
        if (!ok || n < 0 || n > 7 * 24 * 3600 / unit)
            return std::nullopt;
        out << n * unit;
    }
    if (out.isEmpty())
        return std::nullopt;
    return out;
}

std::optional<int> parseDuration(const QString &text, int minS, int maxS)
{
    const auto times = parseDelays(text);
    if (!times || times->size() != 1 || times->first() < minS || times->first() > maxS)
        return std::nullopt;
    return times->first();
}

OwnerOnly readOwnerOnly(const QString &path, qsizetype maxBytes, bool noFollow, QByteArray *bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (noFollow ? O_NOFOLLOW : 0));
    if (fd < 0 && errno == ENOENT)
        return OwnerOnly::Missing;
    struct stat st = {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return OwnerOnly::Unreadable;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        ::close(fd);
        return OwnerOnly::Shared;
    }
    bytes->resize(maxBytes + 1);
    qsizetype got = 0;
    while (got < bytes->size()) {
        const ssize_t n = ::read(fd, bytes->data() + got, size_t(bytes->size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return OwnerOnly::Unreadable;
        }
        if (n == 0)
            break;
        got += n;
    }
    ::close(fd);
    bytes->truncate(got);
    return OwnerOnly::Read;
}

std::optional<QString> readPrivateFile(const QString &path, QString *problem)
{
    // One byte more than the longest line taken: a longer one is refused, never cut.
    constexpr qsizetype MaxLine = 4096;
    QByteArray bytes;
    switch (readOwnerOnly(path, MaxLine + 1, false, &bytes)) {
    case OwnerOnly::Read:
        break;
    case OwnerOnly::Missing:
    case OwnerOnly::Unreadable:
        *problem = QStringLiteral("%1 を読めません。").arg(path);
        return std::nullopt;
    case OwnerOnly::Shared:
        *problem = QStringLiteral("%1 は持ち主のほかにも読み書きできるため使いません。chmod 600 %1 としてください。")
                       .arg(path);
        return std::nullopt;
    }
    const qsizetype end = bytes.indexOf('\n');
    if (end >= 0)
        bytes.truncate(end);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    if (bytes.size() > MaxLine) {
        *problem = QStringLiteral("%1 の 1 行目が %2 バイトを超えています。").arg(path).arg(MaxLine);
        return std::nullopt;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(bytes);
    if (utf8.hasError() || bytes.contains('\0')) {
        *problem = QStringLiteral("%1 の 1 行目が UTF-8 の文字列ではありません。").arg(path);
        return std::nullopt;
    }
    return text;
}

std::optional<std::pair<QString, quint16>> parseListen(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon <= 0)
        return std::nullopt;
    QString address = text.left(colon);
    if (address.startsWith(u'[') && address.endsWith(u']'))
        address = address.mid(1, address.size() - 2);
    else if (address.contains(u':'))
        return std::nullopt; // an IPv6 address needs its brackets
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port > 65535 || address.isEmpty())
        return std::nullopt;
    return std::pair{address, quint16(port)};
}

QString writePrivateFile(const QString &path, const QByteArray &contents)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0;
    for (qsizetype done = 0; written && done < contents.size();) {
        const ssize_t n = ::write(fd, contents.constData() + done, size_t(contents.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += qMax<ssize_t>(n, 0);
    }
    written = written && ::fsync(fd) == 0;
    if (fd >= 0)
        written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return QStringLiteral("%1 を書けません: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    return {};
}
