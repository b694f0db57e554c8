#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// What the program gives baresip, the SIP engine of the Internet telephone line: its
// private folder, its configuration and account, the ports it listens on, the address
// and digits of a call, and how long the digits take on the line.
namespace baresip
{

// Each touch-tone digit takes 240 ms on the line with baresip 1.0.0 at the default
// 20 ms packet time (a 180 ms event and its end packets, then the next); measured
// against a second baresip on loopback (bench/bench_sip). The tail covers the first
// packet's wait and the end packets' way to the far side.
inline constexpr int DigitMs = 240;
inline constexpr int DigitTailMs = 100;

// Milliseconds from handing the engine the digits until the last has left.
int playingTimeMs(qsizetype digits);

// The characters of text that are touch-tone keys (0-9, *, #); the engine drops the
// rest of a string at the first other one.
QString keyDigits(const QString &text);

// sip:<number>@<server>, with '#' escaped; empty when the number has no key digit.
QString dialUri(const QString &server, const QString &number);

// The host part of "host", "host:port" or "[v6]:port".
QString hostOf(const QString &server);

// The address baresip should use when the server is this machine (an address literal
// or "localhost"), as text; empty otherwise. Names are not looked up: that would block.
QString localAddressFor(const QString &server);

// The engine's ports: SIP on sip (UDP and TCP) and sip + 1 (TLS), media from rtp on.
// Each was free when chosen. The engine takes its commands on its standard input alone:
// it opens no port of its own for them.
struct Ports {
    quint16 sip = 0;
    quint16 rtp = 0;
};
inline constexpr int RtpPortCount = 10;
std::optional<Ports> freePorts(const QString &bind);

// The folder in which each call's engine gets a folder of its own (made new for the call,
// as mkdtemp makes one: mode 0700, a name nobody could have taken first):
// $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp.
QString callFolderBase();

// The account line. With a password the account registers, and baresip asks for the
// password on its standard input, so it is never written to a file. transport is "udp",
// "tcp" or "tls" (the engine adds it to every address it calls); proxy, when not empty,
// is the outbound proxy every request goes through.
QByteArray accountLine(const QString &user, const QString &server, bool withPassword,
                       const QString &transport = QStringLiteral("udp"), const QString &proxy = {});

// The whole configuration. bind is the address to listen on (empty: every interface);
// a server on this machine is reached through it. maxCalls bounds the calls the engine
// holds at once: 1 for our own call, so that a call coming in is refused as busy.
QByteArray configText(const Ports &ports, const QString &bind, const QString &modulePath, int maxCalls = 1);

// The folder holding baresip's modules, empty when none is found.
QString modulePath();

// The longest password baresip takes on its standard input: its line buffer holds 64
// bytes, the line break included.
inline constexpr int MaxPasswordBytes = 62;

// A text that cannot go into the account or configuration unchanged, or empty.
QString checkAccount(const QString &user, const QString &server, const QString &password, const QString &proxy = {});

} // namespace baresip
