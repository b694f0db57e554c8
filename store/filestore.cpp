#include "store/filestore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace filestore
{

std::optional<StoreError> readAll(const QString &folder, const QString &name, QByteArray *bytes)
{
    QFile file(folder + name);
    if (!file.open(QIODevice::ReadOnly))
        return StoreError{StoreError::Reading, name, QStringLiteral("ファイルを開けません: ") + file.errorString()};
    *bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return StoreError{StoreError::Reading, name, QStringLiteral("ファイルを読めません: ") + file.errorString()};
    return std::nullopt;
}

std::optional<StoreError> writeAtomically(const QString &folder, const QString &name, const QByteArray &bytes)
{
    QSaveFile file(folder + name);
    // Never fall back to writing the target in place: that is what could leave half a file.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return StoreError{StoreError::Writing, name, file.errorString()};
    // For this user alone from before the first byte (the address book, the numbers and
    // texts sent), whatever the umask or the file it replaces.
    if (::fchmod(file.handle(), 0600) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        file.cancelWriting();
        return StoreError{StoreError::Writing, name, why};
    }
    if (file.write(bytes) != bytes.size()) {
        const QString why = file.errorString();
        file.cancelWriting();
        return StoreError{StoreError::Writing, name, why};
    }
    // On disk before it takes the old file's name, so that a system crash cannot leave an empty file.
    if (!file.flush() || ::fdatasync(file.handle()) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        file.cancelWriting();
        return StoreError{StoreError::Writing, name, why};
    }
    if (!file.commit())
        return StoreError{StoreError::Writing, name, file.errorString()};
    return std::nullopt;
}

QString existingName(const QString &folder, const QString &name)
{
    if (QFileInfo(folder + name).isFile())
        return name;
    const QStringList entries = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString &entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return entry;
    }
    return name;
}

bool exists(const QString &folder, const QString &name)
{
    return QFileInfo::exists(folder + name);
}

QString notRegularText(unsigned mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("シンボリックリンクです");
    if (S_ISDIR(mode))
        return QStringLiteral("フォルダーです");
    if (S_ISFIFO(mode))
        return QStringLiteral("FIFO（名前付きパイプ）です");
    if (!S_ISREG(mode))
        return QStringLiteral("通常のファイルではありません（デバイスかソケット）");
    return {};
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

int holdIfSame(const QByteArray &path, const struct stat &before)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat now = {};
    if (fd >= 0 && ::fstat(fd, &now) == 0 && sameFile(now, before))
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

} // namespace filestore
