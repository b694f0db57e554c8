#include "modemsim.h"

#include "encoding/codetable.h"

#include <QRandomGenerator>

namespace
{

// The digits of a dial string: touch-tone characters and pauses; modifiers dropped.
QString dialDigits(const QByteArray &dialString)
{
    QString out;
    for (char c : dialString) {
        if ((c >= '0' && c <= '9') || c == '*' || c == '#' || c == ',')
            out += QLatin1Char(c);
    }
    return out;
}

QString keyOf(uchar byte)
{
    if (byte >= 0x91 && byte <= 0x99)
        return QString(QLatin1Char(char('0' + byte - 0x90)));
    if (byte == 0x9A)
        return QStringLiteral("0");
    if (byte == 0x9B)
        return QStringLiteral("*");
    if (byte == 0x9C)
        return QStringLiteral("#");
    return {};
}

} // namespace

CallRecord parseCall(const QString &centre, const QString &stream)
{
    CallRecord r;
    r.centre = centre;
    QString rest = stream;
    // Numbers start with 0: a leading "1" or "#" is a service key.
    if (rest.startsWith(QLatin1Char('1')) || rest.startsWith(QLatin1Char('#'))) {
        r.keys = rest.left(1);
        rest.remove(0, 1);
    }
    const int hash = int(rest.indexOf(QLatin1Char('#')));
    r.recipient = hash < 0 ? rest : rest.left(hash);
    rest = hash < 0 ? QString() : rest.mid(hash + 1);
    if (rest.endsWith(QLatin1Char('*'))) {
        r.star = true;
        rest.chop(1);
    }
    // Message digits never end in "#": each "#" opens a four-digit code.
    r.endMark = rest.endsWith(QStringLiteral("##")) ? QStringLiteral("##")
                : rest.endsWith(QLatin1Char('#'))   ? QStringLiteral("#")
                                                    : QString();
    r.digits = rest.left(rest.size() - r.endMark.size());
    return r;
}

QString CallRecord::summary() const
{
    const DecodeResult decoded = decodeDigits(digits);
    QString text =
        QStringLiteral("centre: %1\nkeys: %2\nrecipient: %3\ndigits: %4\nend: %5\nstar: %6\n")
            .arg(centre, keys, recipient, digits, endMark, star ? QStringLiteral("yes") : QStringLiteral("no"));
    if (dropped)
        text += QStringLiteral("dropped: yes\n");
    text += QStringLiteral("message: ") + decoded.text + QLatin1Char('\n');
    if (!decoded.ok())
        text += QStringLiteral("error: at %1: %2\n").arg(decoded.errorPosition).arg(decoded.error);
    return text + QStringLiteral("--\n");
}

ModemSim::ModemSim(const SimFaults &faults, SimKind kind) : m_faults(faults), m_kind(kind) {}

void ModemSim::receive(const QByteArray &bytes)
{
    QByteArray echoed;
    auto flushEcho = [&] {
        if (!echoed.isEmpty() && echo && !m_faults.silent)
            echo(echoed);
        echoed.clear();
    };
    for (char c : bytes) {
        const uchar byte = uchar(c);
        if (byte >= 0x80) {
            linkByte(byte);
            continue;
        }
        if (m_echo)
            echoed += c;
        if (c == '\r') {
            flushEcho(); // the echo of a command comes before its answer
            command(m_line);
            m_line.clear();
        } else if (c != '\n' && m_line.size() < 256) {
            m_line += c;
        }
    }
    flushEcho();
}

void ModemSim::portClosed()
{
    m_line.clear();
    if (m_inCall && !m_linkCall)
        endCall(true);
}

void ModemSim::reply(const QByteArray &text)
{
    if (m_faults.silent || !answer)
        return;
    QByteArray out;
    for (int i = 0; i < m_faults.noise; ++i)
        out += char(0x80 + QRandomGenerator::global()->bounded(0x80));
    QByteArray body = "\r\n" + text + "\r\n";
    if (m_faults.noCr)
        body.replace('\r', "");
    answer(out + body);
}

void ModemSim::command(const QByteArray &line)
{
    const QByteArray upper = line.trimmed().toUpper();
    if (!upper.startsWith("AT"))
        return;
    ++m_commands;
    if (m_faults.dropAfter > 0 && m_commands == m_faults.dropAfter) {
        endCall(true);
        if (dropLine)
            dropLine();
        return;
    }
    if (m_faults.noCarrierAfter > 0 && m_commands == m_faults.noCarrierAfter) {
        reply("NO CARRIER");
        endCall(true);
        return;
    }
    if (runCommands(upper.mid(2)))
        reply("OK");
}

// The commands of one line after "AT"; false when the line has already been answered.
bool ModemSim::runCommands(const QByteArray &body)
{
    for (int i = 0; i < body.size();) {
        const char c = body[i++];
        auto number = [&] {
            int n = 0;
            while (i < body.size() && body[i] >= '0' && body[i] <= '9')
                n = n * 10 + (body[i++] - '0');
            return n;
        };
        switch (c) {
        case 'D':
            if (m_kind != SimKind::Modem && (m_inCall || !body.endsWith(';'))) {
                reply("ERROR"); // a module makes one voice call at a time
                return false;
            }
            return dial(body.mid(i));
        case '+': {
            // An extended command runs to the next ';' (none of ours take quoted text).
            const qsizetype end = body.indexOf(';', i);
            const QByteArray command = body.mid(i, end < 0 ? -1 : end - i);
            i = end < 0 ? body.size() : end + 1;
            if (!extended(command))
                return false;
            break;
        }
        case 'E':
            m_echo = number() != 0;
            break;
        case 'Z':
            number();
            m_echo = true;
            break;
        case 'H':
            if (number() == 0 && m_inCall)
                endCall(false);
            break;
        case 'I':
            if (number() == 6) {
                reply(productCode() + "\r\n\r\nOK");
                return false;
            }
            break;
        case '&':
            if (i < body.size())
                ++i;
            number();
            break;
        case 'S':
            number();
            if (i < body.size() && (body[i] == '=' || body[i] == '?'))
                ++i;
            number();
            break;
        default:
            number();
            break;
        }
    }
    return true;
}

// One 3GPP command after its '+'; false when it has been answered with ERROR.
bool ModemSim::extended(const QByteArray &command)
{
    const bool module = m_kind != SimKind::Modem;
    const bool managed = m_kind == SimKind::Managed;
    if (module && command.startsWith("VTS=") && command.size() == 5 && m_inCall &&
        !dialDigits(command.mid(4)).remove(u',').isEmpty()) {
        m_dials << QString(QLatin1Char(command[4]));
        if (managed && ++m_keys == m_faults.dropAfterKeys) {
            // The far end hangs up as the key goes: the module answers it with NO CARRIER.
            endCall(true);
            reply("NO CARRIER");
            return false;
        }
        return true;
    }
    if (module && command.startsWith("VTD=") && command.mid(4).toInt() > 0)
        return true;
    if (module && command == "CREG?") {
        reply(m_faults.unregistered ? "+CREG: 0,2" : "+CREG: 0,1");
        return true;
    }
    if (module && (command == "CHUP" || (managed && (command == "CHLD=11" || command == "CHLD=1"))) &&
        !m_faults.chupError) {
        if (m_inCall)
            endCall(false);
        return true;
    }
    if (!module || (managed && managedQuery(command)))
        return true; // a plain modem takes what it does not know
    reply("ERROR");
    return false;
}

bool ModemSim::managedQuery(const QByteArray &command)
{
    static const std::pair<const char *, const char *> answers[] = {
        {"GCAP", "+GCAP: +CGSM"},  {"CGMI", "FUMIDORI"},    {"CGMM", "MODEMSIM"},      {"CGMR", "2.32"},
        {"CPIN?", "+CPIN: READY"}, {"CREG?", "+CREG: 0,1"}, {"CGREG?", "+CGREG: 0,1"}, {"CFUN?", "+CFUN: 1"},
        {"CSQ", "+CSQ: 20,99"},    {"CLCC=?", nullptr},
    };
    for (const auto &[query, text] : answers) {
        if (command == query) {
            if (text)
                reply(text);
            return true;
        }
    }
    if (command == "CGSN" || command == "GSN") {
        reply(m_faults.imei.toLatin1());
        return true;
    }
    if (command == "CLCC") {
        // The call is listed as active from its dial on (the centre answers at once), or
        // as alerting while it rings unanswered.
        if (m_inCall)
            reply("+CLCC: 1,0," + QByteArray(m_ringing ? "3" : "0") + ",0,0,\"" + m_centre.toLatin1() + "\",129");
        return true;
    }
    // Settings are taken; a test for support of anything else is refused, and so are keys
    // outside a call.
    return !command.endsWith("=?") && !command.startsWith("VTS");
}

bool ModemSim::dial(const QByteArray &dialString)
{
    const QString digits = dialDigits(dialString);
    if (digits.isEmpty())
        return true; // "ATDT;" only picks the dialling method
    if (!m_inCall) {
        m_inCall = true;
        m_centre = digits;
        m_dials.clear();
        const bool failed = m_faults.failEvery > 0 && ++m_calls % m_faults.failEvery == 0;
        const bool unreachable =
            !m_faults.unreachable.isEmpty() && QString(digits).remove(u',') == m_faults.unreachable;
        // A managed module's call that nobody answers rings on (+CLCC tells it alerting).
        m_ringing = m_faults.noAnswer && m_kind == SimKind::Managed;
        const bool noAnswer = m_faults.noAnswer && !m_ringing;
        if (m_faults.noDialtone || m_faults.busy || noAnswer || failed || unreachable) {
            reply(m_faults.noDialtone ? "NO DIALTONE" : m_faults.busy ? "BUSY" : noAnswer ? "NO ANSWER" : "NO CARRIER");
            endCall(true);
            return false;
        }
        return true;
    }
    m_dials << digits;
    return true;
}

void ModemSim::linkByte(uchar byte)
{
    if (byte == 0xA7) {
        if (m_faults.failEvery > 0 && ++m_calls % m_faults.failEvery == 0) {
            // The cable has no answers to carry NO CARRIER: the line goes.
            m_inCall = true;
            endCall(true);
            if (dropLine)
                dropLine();
            return;
        }
        m_inCall = true;
        m_linkCall = true;
        m_linkCentre = true;
        m_centre.clear();
        m_dials.clear();
        m_keyStream.clear();
    } else if (byte == 0x86) {
        m_linkCentre = false;
    } else if (byte == 0xA4) {
        if (!m_keyStream.isEmpty())
            m_dials << m_keyStream;
        if (m_inCall)
            endCall(false);
    } else if (m_inCall) {
        (m_linkCentre ? m_centre : m_keyStream) += keyOf(byte);
    }
}

void ModemSim::endCall(bool dropped)
{
    if (m_inCall && callEnded) {
        CallRecord record = parseCall(m_centre, m_dials.join(QString()));
        record.dropped = dropped;
        callEnded(record);
    }
    m_inCall = false;
    m_linkCall = false;
    m_linkCentre = false;
    m_commands = 0;
    m_keys = 0;
    m_ringing = false;
    m_dials.clear();
    m_keyStream.clear();
}
