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
    if (ports.sip == 0 || ports.rtp == 0)
        return std::nullopt;
    return ports;
}

QString callFolderBase()
{
    for (const char *name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const QString path = qEnvironmentVariable(name);
        if (!path.isEmpty() && QFileInfo(path).isDir())
            return path;
    }
    return QStringLiteral("/tmp");
}

QByteArray accountLine(const QString &user, const QString &server, bool withPassword, const QString &transport,
                       const QString &proxy)
{
    const QString name = user.trimmed().isEmpty() ? QStringLiteral("fumidori") : user.trimmed();
    const QString t = transport == QLatin1String("tcp") || transport == QLatin1String("tls") ? transport : QString();
    const QString param = t.isEmpty() ? QString() : QStringLiteral(";transport=") + t;
    QString line = QStringLiteral("<sip:%1@%2%3>").arg(name, server.trimmed(), param);
    if (withPassword)
        line += QStringLiteral(";auth_user=%1;regint=600").arg(name);
    else
        line += QStringLiteral(";regint=0");
    if (!proxy.trimmed().isEmpty())
        line += QStringLiteral(";outbound=\"sip:%1%2\"").arg(proxy.trimmed(), param);
    return line.toUtf8() + '\n';
}

QByteArray configText(const Ports &ports, const QString &bind, const QString &modulePath, int maxCalls)
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
    line("call_max_calls", QString::number(maxCalls));
    line("module_path", modulePath);
    // Commands come on the standard input and events go to the standard output, which
    // only this program holds: no other user can reach the engine.
    line("module", QStringLiteral("stdio.so"));
    line("module", QStringLiteral("g711.so"));
    line("module", QStringLiteral("ausine.so"));
    line("module_app", QStringLiteral("menu.so"));
    line("module_app", QStringLiteral("account.so"));
    return text.toUtf8();
}

QString modulePath()
{
    for (const char *dir : {"/usr/lib/baresip/modules", "/usr/local/lib/baresip/modules"}) {
        if (QFileInfo::exists(QString::fromLatin1(dir) + QStringLiteral("/stdio.so")))
            return QString::fromLatin1(dir);
    }
    return {};
}

namespace
{

bool isAsciiAlnum(QChar ch)
{
    return (ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') || (ch >= u'0' && ch <= u'9');
}

// host, host:port or [v6]:port, in ASCII: a name of letters, digits, dots and hyphens, or
// an address; the port from 1 to 65535.
bool isServer(const QString &server)
{
    QString host = server;
    QString port;
    if (server.startsWith(u'[')) {
        const qsizetype end = server.indexOf(u']');
        if (end < 0)
            return false;
        host = server.mid(1, end - 1);
        const QString rest = server.mid(end + 1);
        if (!rest.isEmpty() && !rest.startsWith(u':'))
            return false;
        port = rest.mid(1);
        if (!rest.isEmpty() && port.isEmpty())
            return false;
        sockaddr_in6 a{};
        if (::inet_pton(AF_INET6, host.toLatin1().constData(), &a.sin6_addr) != 1)
            return false;
    } else {
        if (server.count(u':') > 1) {
            sockaddr_in6 a{};
            return ::inet_pton(AF_INET6, server.toLatin1().constData(), &a.sin6_addr) == 1;
        }
        host = server.section(u':', 0, 0);
        if (server.contains(u':')) {
            port = server.section(u':', 1);
            if (port.isEmpty())
                return false;
        }
        if (host.isEmpty() || host.size() > 253 || host.startsWith(u'.') || host.startsWith(u'-'))
            return false;
        for (QChar ch : host) {
            if (!isAsciiAlnum(ch) && ch != u'.' && ch != u'-')
                return false;
        }
    }
    if (port.isEmpty())
        return true;
    bool ok = false;
    const int n = port.toInt(&ok);
    return ok && n >= 1 && n <= 65535 && port.size() <= 5 && port[0].isDigit();
}

// The user part of a SIP address: letters, digits and the marks providers use.
bool isUser(const QString &user)
{
    if (user.size() > 128)
        return false;
    for (QChar ch : user) {
        if (!isAsciiAlnum(ch) && !QStringLiteral("-._~!$&'()*+,=%").contains(ch))
            return false;
    }
    return true;
}

} // namespace

QString checkAccount(const QString &user, const QString &server, const QString &password, const QString &proxy)
{
    if (server.trimmed().isEmpty())
        return QStringLiteral("SIP サーバーが設定されていません。");
    if (!isServer(server.trimmed()))
        return QStringLiteral("SIP サーバー「%1」はホスト名かアドレス（:ポート番号）として読めません。").arg(server);
    if (!proxy.trimmed().isEmpty() && !isServer(proxy.trimmed()))
        return QStringLiteral("SIP のプロキシ「%1」はホスト名かアドレス（:ポート番号）として読めません。").arg(proxy);
    if (!isUser(user.trimmed()))
        return QStringLiteral("SIP ユーザー「%1」に使えない文字があります（英数字と -._~!$&'()*+,=% だけです）。")
            .arg(user);
    for (QChar ch : password) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f)
            return QStringLiteral("SIP のパスワードに制御文字（改行など）は使えません。");
    }
    if (password.toUtf8().size() > MaxPasswordBytes)
        return QStringLiteral("SIP のパスワードは %1 バイトまでです（baresip の上限）。").arg(MaxPasswordBytes);
    return {};
}

} // namespace baresip
