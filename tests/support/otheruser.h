#pragma once

// Another user of the machine, for the checks of what one user can do to another's
// files: things made in his name by a child that drops to "nobody", and root made to
// meet file permissions as an ordinary user does. Both need root (as CI runs).
#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <optional>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace otheruser
{

struct Ids {
    uid_t uid;
    gid_t gid;
};

// A user's ids; none when this process is not root or the user is missing.
inline std::optional<Ids> named(const char *name)
{
    const passwd *pw = ::getpwnam(name);
    if (::geteuid() != 0 || !pw)
        return std::nullopt;
    return Ids{pw->pw_uid, pw->pw_gid};
}

inline std::optional<Ids> nobody()
{
    return named("nobody");
}

// This process becomes the other user, keeping no groups of ours.
inline bool become(const Ids &ids)
{
    return ::setgroups(0, nullptr) == 0 && ::setresgid(ids.gid, ids.gid, ids.gid) == 0 &&
           ::setresuid(ids.uid, ids.uid, ids.uid) == 0;
}

// What fn returns when run in a child that has become the other user (no groups of
// ours kept); none when the child could not become him.
template <typename Fn> std::optional<QByteArray> asUser(const Ids &ids, Fn fn)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        if (!become(ids))
            ::_exit(1);
        const QByteArray report = fn();
        (void)!::write(ends[1], report.constData(), size_t(report.size()));
        ::_exit(0);
    }
    ::close(ends[1]);
    QByteArray report;
    char buffer[4096];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, n);
    ::close(ends[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return report;
}

enum class Plant { Symlink, Fifo, Unreadable, Folder };

// Makes path: a link to target, a named pipe, a file nobody but its owner may open
// (mode 0), or a folder. True when made.
inline bool make(Plant what, const QByteArray &path, const QByteArray &target = {})
{
    switch (what) {
    case Plant::Symlink:
        return ::symlink(target.constData(), path.constData()) == 0;
    case Plant::Fifo:
        return ::mkfifo(path.constData(), 0644) == 0;
    case Plant::Unreadable: {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0);
        return fd >= 0 && ::fchmod(fd, 0) == 0;
    }
    case Plant::Folder:
        return ::mkdir(path.constData(), 0755) == 0;
    }
    return false;
}

// Makes path as above in the other user's name.
inline bool plant(const Ids &ids, Plant what, const QByteArray &path, const QByteArray &target = {})
{
    return asUser(ids, [&] { return QByteArray(make(what, path, target) ? "made" : ""); }) == QByteArray("made");
}

// Writes bytes to a new file at path (mode 0644) in the other user's name. True when written.
inline bool writeAs(const Ids &ids, const QByteArray &path, const QByteArray &bytes)
{
    return asUser(ids, [&] {
               const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
               return QByteArray(
                   fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size() ? "made" : "");
           }) == QByteArray("made");
}

// A process id of the other user's that has ended.
inline qint64 endedPid(const Ids &ids)
{
    return asUser(ids, [] { return QByteArray::number(::getpid()); }).value_or("0").toLongLong();
}

// A lock the other user holds on a line, planted at path as a check wants it: his process
// holding a flock on it, a UUCP-style file ("      1234\n") naming a live process of his or
// one that has ended, a named pipe, a file only he may open, a link (to target) or a folder.
// Ended and removed with it.
struct ForeignLock {
    enum Kind { Flock, Live, Stale, Fifo, Unreadable, Symlink, Folder };
    Kind kind = Flock;
    QProcess holder;
    QByteArray path;
    struct stat made = {};

    ~ForeignLock()
    {
        holder.kill();
        holder.waitForFinished();
        if (::unlink(path.constData()) != 0)
            ::rmdir(path.constData());
    }
    bool plant(const Ids &ids, Kind how, const QString &at, const QByteArray &target = {})
    {
        kind = how;
        path = QFile::encodeName(at);
        holder.setChildProcessModifier([ids] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (!become(ids))
                ::_exit(127);
        });
        if (kind == Flock || kind == Live) {
            holder.start("sh", {"-c",
                                kind == Flock ? "exec 9>\"$0\" && flock 9 && echo held && exec sleep 600"
                                              : "echo held; exec sleep 600",
                                at});
            if (!holder.waitForReadyRead(5000))
                return false;
        }
        const qint64 pid = kind == Live ? holder.processId() : kind == Stale ? endedPid(ids) : 0;
        const QByteArray text = QByteArray::number(pid).rightJustified(10) + '\n';
        const Plant file = kind == Fifo      ? Plant::Fifo
                           : kind == Symlink ? Plant::Symlink
                           : kind == Folder  ? Plant::Folder
                                             : Plant::Unreadable;
        const bool planted =
            kind == Flock || (pid ? writeAs(ids, path, text) : otheruser::plant(ids, file, path, target));
        return planted && ::lstat(path.constData(), &made) == 0;
    }
    // Still there as it was made.
    bool unchanged() const
    {
        struct stat now = {};
        return ::lstat(path.constData(), &now) == 0 && now.st_ino == made.st_ino && now.st_uid == made.st_uid &&
               now.st_size == made.st_size;
    }
    // Gone as its holder lets it go: the process ends (its flock with it), or the file goes.
    bool release()
    {
        const bool removed = kind == Flock || ::unlink(path.constData()) == 0 || ::rmdir(path.constData()) == 0;
        holder.kill();
        holder.waitForFinished();
        return removed;
    }
};

inline constexpr unsigned OverrideCaps = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

// For a child process before it runs its program (QProcess::setChildProcessModifier):
// root without the capabilities that pass over file permissions, after exec too.
inline void dropOverrideForChild()
{
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
}

// This thread meets file permissions as an ordinary user does while the object lives.
class AsOrdinaryUser
{
public:
    AsOrdinaryUser()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~OverrideCaps;
        m_changed = ::syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~AsOrdinaryUser()
    {
        if (m_changed)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    AsOrdinaryUser(const AsOrdinaryUser &) = delete;
    AsOrdinaryUser &operator=(const AsOrdinaryUser &) = delete;
    bool active() const { return m_changed; }

private:
    __user_cap_header_struct m_header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2] = {};
    bool m_changed = false;
};

} // namespace otheruser
