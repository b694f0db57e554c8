#include "modem/baresipconfig.h"

#include <QDir>
#include <QFileInfo>

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace baresip
{

int playingTimeMs(qsizetype digits)
{
    return digits <= 0 ? 0 : int(digits) * DigitMs + DigitTailMs;
}

QString keyDigits(const QString &text)
{
    QString out;
    for (QChar ch : text) {
        if ((ch >= u'0' && ch <= u'9') || ch == u'*' || ch == u'#')
            out += ch;
    }
    return out;
}

QString dialUri(const QString &server, const QString &number)
{
    const QString digits = keyDigits(number);
    if (digits.isEmpty())
        return {};
    QString user = digits;
    user.replace(QLatin1Char('#'), QStringLiteral("%23"));
    return QStringLiteral("sip:") + user + u'@' + server.trimmed();
}

QString hostOf(const QString &server)
{
    const QString s = server.trimmed();
    if (s.startsWith(u'[')) {
        const qsizetype end = s.indexOf(u']');
        return end < 0 ? s.mid(1) : s.mid(1, end - 1);
    }
    return s.count(u':') == 1 ? s.section(u':', 0, 0) : s;
}

namespace
{

// An address literal (empty: every IPv4 interface) with a port as a socket address;
// false when the text is no address.
bool socketAddress(const QString &text, quint16 port, sockaddr_storage &out, socklen_t &length)
{
    out = {};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&out);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&out);
    const QByteArray host = text.toLatin1();
    if (text.isEmpty() || ::inet_pton(AF_INET, host.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
        return true;
    }
    if (::inet_pton(AF_INET6, host.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
        return true;
    }
    return false;
}

quint16 portOf(const sockaddr_storage &a)
{
    return ntohs(a.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in &>(a).sin_port
                                        : reinterpret_cast<const sockaddr_in6 &>(a).sin6_port);
}

// The bytes of the address alone, to compare two addresses of one family.
QByteArrayView addressBytes(const sockaddr *a)
{
    if (a->sa_family == AF_INET)
        return {reinterpret_cast<const char *>(&reinterpret_cast<const sockaddr_in *>(a)->sin_addr), 4};
    if (a->sa_family == AF_INET6)
        return {reinterpret_cast<const char *>(&reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr), 16};
    return {};
}

bool isThisMachine(const sockaddr_storage &a)
{
    const auto *address = reinterpret_cast<const sockaddr *>(&a);
    if (a.ss_family == AF_INET && (ntohl(reinterpret_cast<const sockaddr_in &>(a).sin_addr.s_addr) >> 24) == 127)
        return true;
    if (a.ss_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr))
        return true;
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return false;
    bool found = false;
    for (const ifaddrs *i = interfaces; i && !found; i = i->ifa_next)
        found =
            i->ifa_addr && i->ifa_addr->sa_family == a.ss_family && addressBytes(i->ifa_addr) == addressBytes(address);
    ::freeifaddrs(interfaces);
    return found;
}

// Binds a socket of the type (a TCP one also listens) to the address and port, 0 for
// any free one, and closes it again: the port it had, or 0 when the bind failed.
quint16 bindPort(const QString &address, quint16 port, int type)
{
    sockaddr_storage a;
    socklen_t length = 0;
    if (!socketAddress(address, port, a, length))
        return 0;
    const int fd = ::socket(a.ss_family, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    const int on = 1;
    if (type == SOCK_STREAM)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    quint16 bound = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), length) == 0 && (type != SOCK_STREAM || ::listen(fd, 1) == 0) &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0)
        bound = portOf(a);
    ::close(fd);
    return bound;
}

} // namespace

QString localAddressFor(const QString &server)
{
    const QString host = hostOf(server);
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("127.0.0.1");
    sockaddr_storage a;
    socklen_t length = 0;
    if (host.isEmpty() || !socketAddress(host, 0, a, length) || !isThisMachine(a))
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    const void *bytes = addressBytes(reinterpret_cast<const sockaddr *>(&a)).data();
    return QString::fromLatin1(::inet_ntop(a.ss_family, bytes, text, sizeof text));
}

std::optional<Ports> freePorts(const QString &bind)
{
    Ports ports;
    for (int attempt = 0; attempt < 50 && ports.sip == 0; ++attempt) {
        const quint16 p = bindPort(bind, 0, SOCK_DGRAM);
        if (p == 0)
            return std::nullopt;
        if (p < 65535 && bindPort(bind, p, SOCK_STREAM) == p && bindPort(bind, p + 1, SOCK_STREAM) == p + 1)
            ports.sip = p;
    }
    for (int attempt = 0; attempt < 50 && ports.rtp == 0; ++attempt) {
        const quint16 p = bindPort(bind, 0, SOCK_DGRAM) & ~1u; // RTP on even ports
        if (p != 0 && p + RtpPortCount <= 65535 && p != ports.sip && p != ports.sip + 1 && p + 1 != ports.sip)
            ports.rtp = p;
    }
    ports.control = bindPort(QStringLiteral("127.0.0.1"), 0, SOCK_STREAM);
    if (ports.sip == 0 || ports.rtp == 0 || ports.control == 0)
        return std::nullopt;
    return ports;
}

QString runtimeFolder(QString *error)
{
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString path = !xdg.isEmpty() && QFileInfo(xdg).isDir()
                             ? xdg + QStringLiteral("/fumidori")
                             : QDir::tempPath() + QStringLiteral("/fumidori-%1").arg(::getuid());
    QDir().mkdir(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    struct stat st {
    };
    // Not a link, a folder, ours: another user could have made it first in a shared folder.
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        *error = QStringLiteral("%1 を作れないか、このユーザーのフォルダーではありません。").arg(path);
        return {};
    }
    if ((st.st_mode & 077) != 0 && ::chmod(QFile::encodeName(path).constData(), 0700) != 0) {
        *error = QStringLiteral("%1 を本人だけが読めるようにできません。").arg(path);
        return {};
    }
    return path;
}

QByteArray accountLine(const QString &user, const QString &server, bool withPassword)
{
    const QString name = user.trimmed().isEmpty() ? QStringLiteral("fumidori") : user.trimmed();
    QString line = QStringLiteral("<sip:%1@%2>").arg(name, server.trimmed());
    if (withPassword)
        line += QStringLiteral(";auth_user=%1;regint=600").arg(name);
    else
        line += QStringLiteral(";regint=0");
    return line.toUtf8() + '\n';
}

QByteArray configText(const Ports &ports, const QString &bind, const QString &modulePath)
{
    const QString listen = bind.isEmpty() ? QStringLiteral("0.0.0.0") : bind.contains(u':') ? u'[' + bind + u']' : bind;
    QString text;
    auto line = [&](const char *key, const QString &value) {
        text += QString::fromLatin1(key).leftJustified(24) + value + u'\n';
    };
    line("poll_method", QStringLiteral("epoll"));
    line("sip_listen", QStringLiteral("%1:%2").arg(listen).arg(ports.sip));
    line("rtp_ports", QStringLiteral("%1-%2").arg(ports.rtp).arg(ports.rtp + RtpPortCount - 1));
    if (!bind.isEmpty())
        line("net_interface", bind);
    // A clocked source keeps the digits' timing; it is muted once the call is up.
    line("audio_source", QStringLiteral("ausine,1000"));
    line("ausrc_srate", QStringLiteral("48000"));
    line("ausrc_channels", QStringLiteral("2"));
    line("module_path", modulePath);
    line("module", QStringLiteral("g711.so"));
    line("module", QStringLiteral("ausine.so"));
    // The control socket listens before the account is read.
    line("module", QStringLiteral("ctrl_tcp.so"));
    line("module_app", QStringLiteral("menu.so"));
    line("module_app", QStringLiteral("account.so"));
    line("ctrl_tcp_listen", QStringLiteral("127.0.0.1:%1").arg(ports.control));
    return text.toUtf8();
}

QString modulePath()
{
    for (const char *dir : {"/usr/lib/baresip/modules", "/usr/local/lib/baresip/modules"}) {
        if (QFileInfo::exists(QString::fromLatin1(dir) + QStringLiteral("/ctrl_tcp.so")))
            return QString::fromLatin1(dir);
    }
    return {};
}

QString checkAccount(const QString &user, const QString &server, const QString &password)
{
    if (server.trimmed().isEmpty())
        return QStringLiteral("SIP サーバーが設定されていません。");
    auto unsafe = [](const QString &text, const QString &extra) {
        for (QChar ch : text.trimmed()) {
            if (ch.isSpace() || ch.unicode() < 0x20 || QStringLiteral("<>\"").contains(ch) || extra.contains(ch))
                return true;
        }
        return false;
    };
    if (unsafe(server, QStringLiteral("@;")))
        return QStringLiteral("SIP サーバー「%1」に使えない文字があります。").arg(server);
    if (unsafe(user, QStringLiteral("@;:")))
        return QStringLiteral("SIP ユーザー「%1」に使えない文字があります。").arg(user);
    if (password.contains(u'\n') || password.contains(u'\r') || password.toUtf8().size() > 63)
        return QStringLiteral("SIP のパスワードは改行なしの 63 バイトまでです。");
    return {};
}

} // namespace baresip
