#include "modem/baresipconfig.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QUdpSocket>

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

QHostAddress localAddressFor(const QString &server)
{
    const QString host = hostOf(server);
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return QHostAddress(QHostAddress::LocalHost);
    const QHostAddress address(host);
    if (address.isNull())
        return {};
    if (address.isLoopback() || QNetworkInterface::allAddresses().contains(address))
        return address;
    return {};
}

namespace
{

bool tcpFree(const QHostAddress &bind, quint16 port)
{
    QTcpServer server;
    return server.listen(bind, port);
}

} // namespace

std::optional<Ports> freePorts(const QHostAddress &bind)
{
    const QHostAddress address = bind.isNull() ? QHostAddress(QHostAddress::AnyIPv4) : bind;
    Ports ports;
    for (int attempt = 0; attempt < 50 && ports.sip == 0; ++attempt) {
        QUdpSocket udp;
        if (!udp.bind(address, 0))
            return std::nullopt;
        const quint16 p = udp.localPort();
        if (p < 65535 && tcpFree(address, p) && tcpFree(address, p + 1))
            ports.sip = p;
    }
    for (int attempt = 0; attempt < 50 && ports.rtp == 0; ++attempt) {
        QUdpSocket udp;
        if (!udp.bind(address, 0))
            return std::nullopt;
        const quint16 p = udp.localPort() & ~1u; // RTP on even ports
        if (p != 0 && p + RtpPortCount <= 65535 && p != ports.sip && p != ports.sip + 1 && p + 1 != ports.sip)
            ports.rtp = p;
    }
    QTcpServer control;
    if (ports.sip == 0 || ports.rtp == 0 || !control.listen(QHostAddress::LocalHost, 0))
        return std::nullopt;
    ports.control = control.serverPort();
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

QByteArray configText(const Ports &ports, const QHostAddress &bind, const QString &modulePath)
{
    const QString listen =
        bind.isNull()
            ? QStringLiteral("0.0.0.0")
            : (bind.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + bind.toString() + u']' : bind.toString());
    QString text;
    auto line = [&](const char *key, const QString &value) {
        text += QString::fromLatin1(key).leftJustified(24) + value + u'\n';
    };
    line("poll_method", QStringLiteral("epoll"));
    line("sip_listen", QStringLiteral("%1:%2").arg(listen).arg(ports.sip));
    line("rtp_ports", QStringLiteral("%1-%2").arg(ports.rtp).arg(ports.rtp + RtpPortCount - 1));
    if (!bind.isNull())
        line("net_interface", bind.toString());
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
