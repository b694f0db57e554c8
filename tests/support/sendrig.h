#pragma once

// The rig of fumidori-send's tests: a data folder with an address book, runs of the
// built tools, and ports for the servers they talk to.

#include "support/filehelpers.h"

#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A data folder for fumidori-send's tests: one centre "C" (kind 0, maxChars characters) and
// recipients R0..R(n-1), each with the number 0900000000i. Its port 1 is a file of its
// own, so that its line lock is nobody else's. Empty when it cannot be made.
inline QString makeSendFolder(const QTemporaryDir &dir, int recipients = 3, int maxChars = 20)
{
    AppData data;
    data.folder = dir.path() + u'/';
    if (!QDir(data.folder).mkpath("ports") || !writeFileBytes(data.folder + "line", "") ||
        !QFile::link(data.folder + "line", data.folder + "ports/COM1"))
        return {};
    data.settings = Settings::defaults();
    data.centers << MessageCenter{QStringLiteral("C"), 0, QStringLiteral("0570000111"), qint16(maxChars), 1, 1, 1};
    for (int i = 0; i < recipients; ++i)
        data.recipients << Recipient{QStringLiteral("R%1").arg(i), 0, QStringLiteral("0900000000%1").arg(i)};
    return SaveSettingsFile(data) ? QString() : data.folder;
}

// One run of a built command-line tool with the given input on its standard input; one
// still running after timeoutMs is killed (ended false). The child runs childSetUp first.
struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QString err;
    bool ended = false;
};

inline ToolRun runTool(const QString &program, const QStringList &args, const QByteArray &input = {},
                       const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 20000,
                       void (*childSetUp)() = nullptr)
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (childSetUp)
        p.setChildProcessModifier(childSetUp);
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    ToolRun r;
    r.ended = p.waitForFinished(timeoutMs);
    if (!r.ended)
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// A TCP port on loopback that nobody listens on now, for a server that must be told its
// port; 0 when none could be had.
inline quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}
