#include "modem/linelog.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Writes all of bytes, as far as the descriptor takes them.
void writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

// The file name in the folder, opened for appending, when it is a regular file of its own
// (a link is not followed); -1 otherwise.
int openLog(int folder, const char *name)
{
    const int fd = ::openat(folder, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    if ((st.st_mode & 077) != 0)
        ::fchmod(fd, 0600);
    return fd;
}

} // namespace

LineLog::LineLog(QString dataFolder) : m_folder(std::move(dataFolder)) {}

LineLog::~LineLog()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void LineLog::beginCall(const QString &lineName)
{
    m_name = printable(lineName.isEmpty() ? QStringLiteral("-") : lineName).replace(' ', '_');
    m_clock.start();
    open();
}

// The log folder and file, with a log over the size moved aside first.
void LineLog::open()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_folder.isEmpty())
        return;
    const QByteArray base = QFile::encodeName(m_folder);
    const int top = ::open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0)
        return;
    ::mkdirat(top, FolderName, 0700);
    const int folder = ::openat(top, FolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(top);
    if (folder < 0)
        return;
    struct stat st {
    };
    if (::fstat(folder, &st) != 0 || st.st_uid != ::geteuid()) {
        ::close(folder);
        return;
    }
    if ((st.st_mode & 077) != 0)
        ::fchmod(folder, 0700);
    m_fd = openLog(folder, FileName);
    if (m_fd >= 0 && ::fstat(m_fd, &st) == 0 && st.st_size > RotateBytes) {
        // Moved aside only while the name still holds the file just looked at: another
        // writer may have moved it a moment ago.
        struct stat named {
        };
        if (::fstatat(folder, FileName, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == st.st_ino &&
            named.st_dev == st.st_dev) {
            const QByteArray old = QByteArray(FileName) + ".1";
            ::renameat(folder, FileName, folder, old.constData());
        }
        ::close(m_fd);
        m_fd = openLog(folder, FileName);
    }
    ::close(folder);
}

void LineLog::record(char mark, const QByteArray &text)
{
    if (m_fd < 0 && m_trace < 0)
        return;
    QByteArray line = QByteArray::number(m_clock.isValid() ? m_clock.elapsed() : 0);
    line += ' ';
    line += QByteArray::number(qint64(::getpid()));
    line += ' ';
    line += m_name;
    line += ' ';
    line += mark;
    line += ' ';
    line += text;
    line += '\n';
    if (m_fd >= 0)
        writeAll(m_fd, line);
    if (m_trace >= 0)
        writeAll(m_trace, line);
}

QByteArray LineLog::escaped(QByteArrayView bytes)
{
    static const char Hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (char c : bytes) {
        const auto b = uchar(c);
        if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b < 0x20 || b > 0x7E) {
            out += "\\x";
            out += Hex[b >> 4];
            out += Hex[b & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray LineLog::printable(const QString &text)
{
    QByteArray out;
    const QByteArray utf8 = text.toUtf8();
    for (char c : utf8) {
        const auto b = uchar(c);
        if (b < 0x20 || b == 0x7F || b == '\\')
            out += escaped(QByteArrayView(&c, 1));
        else
            out += c;
    }
    return out;
}
