#include "snpp/session.h"

#include <QDateTime>
#include <QRegularExpression>

namespace
{

QByteArray reply(const char *text)
{
    return QByteArray(text) + "\r\n";
}

const char *const HelpLines[] = {
    "214 Fumidori SNPP gateway: level 1 and these level 2 commands",
    "214 PAGE <name or number>     a recipient; several before one SEND are one batch",
    "214 MESS <text>               the message (or DATA, ended by a line with a dot)",
    "214 SUBJ <text>               a subject, put before the message",
    "214 CALL <caller>             the caller, put after the message",
    "214 LEVE <0-11>  ALER <0|1>   how urgent (LEVE 0 or ALER 1: critical)",
    "214 HOLD YYMMDDHHMMSS [+HHMM] no try before that time",
    "214 COVE <region>             accepted, not used",
    "214 LOGI <user> <password>    log in (users of snpp-users)",
    "214 SEND  RESE  HELP  QUIT",
};

// The urgency that LEVE's level stands for: 0 (priority) critical, 2-7 (later delivery)
// info, 1 (normal) and 8-11 (reserved for the operator) none of their own.
int urgencyOfLevel(int level)
{
    if (level == 0)
        return 2;
    return level >= 2 && level <= 7 ? 1 : 0;
}

bool allDigits(const QByteArray &bytes)
{
    return !bytes.isEmpty() && std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

SnppSession::SnppSession(SnppDesk &desk, bool allowed) : m_desk(desk), m_allowed(allowed) {}

QByteArray SnppSession::greeting()
{
    return reply("220 Fumidori SNPP Gateway Ready");
}

std::optional<qint64> SnppSession::holdTime(const QByteArray &argument)
{
    static const QRegularExpression form(QStringLiteral(R"(^(\d{12})\s*(?:([+-])(\d\d):?(\d\d)?)?$)"));
    const QRegularExpressionMatch m = form.match(QString::fromLatin1(argument.trimmed()));
    if (!m.hasMatch())
        return std::nullopt;
    const QString digits = m.captured(1);
    const auto part = [&](int at) { return digits.mid(at, 2).toInt(); };
    const QDate date(2000 + part(0), part(2), part(4));
    const QTime time(part(6), part(8), part(10));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    if (m.captured(2).isEmpty())
        return QDateTime(date, time).toMSecsSinceEpoch();
    const int minutes = m.captured(3).toInt() * 60 + m.captured(4).toInt();
    if (minutes > 14 * 60)
        return std::nullopt;
    const int offset = (m.captured(2) == QLatin1String("-") ? -minutes : minutes) * 60;
    return QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch() - qint64(offset) * 1000;
}

QByteArray SnppSession::feed(QByteArrayView bytes)
{
    QByteArray out;
    while (!bytes.isEmpty() && !m_ended) {
        const qsizetype end = bytes.indexOf('\n');
        const QByteArrayView piece = end < 0 ? bytes : bytes.first(end);
        if (!m_overlong) {
            m_pending += piece;
            if (m_pending.size() > MaxLine - 1) { // past the limit with its LF still to come
                m_overlong = true;
                m_pending.clear();
            }
        }
        if (end < 0)
            break;
        bytes = bytes.sliced(end + 1);
        QByteArray line = std::exchange(m_pending, {});
        if (line.endsWith('\r'))
            line.chop(1);
        if (std::exchange(m_overlong, false)) {
            if (m_inData) {
                m_dataTooLong = true;
            } else {
                out += reply("500 Error, Line Too Long (512 bytes at most)");
                if (++m_errors >= MaxErrors)
                    m_ended = true, out += reply("421 Too Many Errors, Goodbye");
            }
            continue;
        }
        out += m_inData ? dataLine(line) : command(line);
    }
    return out;
}

QByteArray SnppSession::dataLine(const QByteArray &line)
{
    if (line == ".") {
        m_inData = false;
        const QByteArray data = std::exchange(m_data, {});
        if (std::exchange(m_dataTooLong, false))
            return reply("550 Error, Message Too Long (64 KiB at most)");
        return message(data);
    }
    const QByteArray unstuffed = line.startsWith('.') ? line.mid(1) : line;
    if (m_data.size() + unstuffed.size() + 1 > MaxData + 1)
        m_dataTooLong = true;
    if (!m_dataTooLong)
        m_data += unstuffed + '\n';
    return {};
}

QByteArray SnppSession::message(const QByteArray &bytes)
{
    QByteArray trimmed = bytes;
    while (trimmed.endsWith('\n'))
        trimmed.chop(1);
    if (trimmed.trimmed().isEmpty())
        return reply("550 Error, Empty Message");
    m_message = trimmed;
    return reply("250 Message OK");
}

QByteArray SnppSession::command(const QByteArray &line)
{
    const qsizetype space = line.indexOf(' ');
    const QByteArray word = (space < 0 ? line : line.left(space)).toUpper();
    const QByteArray argument = space < 0 ? QByteArray() : line.mid(space + 1).trimmed();
    const auto number = [&](int low, int high) -> std::optional<int> {
        bool ok = false;
        const int n = argument.toInt(&ok);
        return ok && allDigits(argument) && n >= low && n <= high ? std::optional(n) : std::nullopt;
    };
    if (word == "PAGE")
        return page(argument);
    if (word == "MESS") {
        if (m_message)
            return reply("503 Error, Message Already Entered");
        return message(argument);
    }
    if (word == "DATA") {
        if (m_message)
            return reply("503 Error, Message Already Entered");
        m_inData = true;
        return reply("354 Begin Input; End with <CRLF>'.'<CRLF>");
    }
    if (word == "SEND")
        return send();
    if (word == "RESE") {
        reset();
        return reply("250 RESET OK");
    }
    if (word == "QUIT") {
        m_ended = true;
        return reply("221 OK, Goodbye");
    }
    if (word == "HELP") {
        QByteArray out;
        for (const char *l : HelpLines)
            out += reply(l);
        return out + reply("250 End of Help Information");
    }
    if (word == "LOGI") {
        const QList<QByteArray> parts = argument.simplified().split(' ');
        if (argument.isEmpty() || parts.size() > 2)
            return reply("550 Error, Invalid Login");
        // A client with no password to give (one that logs in by habit) is answered as
        // if in, and pages only from an allowed address.
        if (parts.size() == 1)
            return reply("250 Login Accepted (no password: not logged in)");
        if (!m_desk.login(parts[0], parts[1])) {
            // Each try costs the hash's time: a client guessing passwords goes after a few.
            if (++m_loginFailures < MaxLoginFailures)
                return reply("550 Error, Invalid Login");
            m_ended = true;
            return reply("550 Error, Invalid Login") + reply("421 Too Many Login Failures, Goodbye");
        }
        m_loggedIn = true;
        return reply("250 Login Accepted");
    }
    if (word == "LEVE") {
        const auto level = number(0, 11);
        if (!level)
            return reply("550 Error, Invalid Alert Level");
        m_urgency = std::max(m_urgency, urgencyOfLevel(*level));
        return reply("250 Alert Level Accepted");
    }
    if (word == "ALER") {
        const auto alert = number(0, 1);
        if (!alert)
            return reply("550 Error, Invalid Alert Parameter");
        if (*alert == 1)
            m_urgency = 2;
        return reply("250 Alert Option Accepted");
    }
    if (word == "COVE") {
        if (argument.isEmpty())
            return reply("550 Error, Invalid Alternate Region");
        return reply("250 Alternate Coverage Selected");
    }
    if (word == "CALL") {
        if (argument.isEmpty())
            return reply("550 Error, Invalid Caller ID");
        m_caller = argument;
        return reply("250 Caller ID Accepted");
    }
    if (word == "SUBJ") {
        if (argument.isEmpty())
            return reply("550 Error, Invalid Subject");
        m_subject = argument;
        return reply("250 Message Subject OK");
    }
    if (word == "HOLD") {
        const auto when = holdTime(argument);
        if (!when)
            return reply("550 Error, Invalid Delivery Date/Time");
        m_notBefore = *when;
        return reply("250 Delayed Messaging Selected");
    }
    if (++m_errors >= MaxErrors) {
        m_ended = true;
        return reply("500 Command Not Implemented") + reply("421 Too Many Errors, Goodbye");
    }
    return reply("500 Command Not Implemented");
}

QByteArray SnppSession::page(const QByteArray &argument)
{
    if (!m_loggedIn && !m_allowed)
        return reply("550 Error, Not Allowed to Page (LOGI user password)");
    if (argument.isEmpty())
        return reply("550 Error, Invalid Pager ID");
    if (m_pagers.size() >= MaxPagers)
        return reply("550 Error, Too Many Pager IDs (100 at most)");
    // PAGE <pager ID> [PIN]: the whole argument first, as a name may hold spaces; then
    // the first word with a PIN after it.
    auto found = m_desk.pager(argument);
    const qsizetype space = argument.indexOf(' ');
    if (std::holds_alternative<QString>(found) && space > 0)
        if (auto first = m_desk.pager(argument.left(space)); std::holds_alternative<SnppPager>(first))
            found = first;
    if (const auto *why = std::get_if<QString>(&found))
        return "550 Error, Invalid Pager ID: " + why->toUtf8().replace('\r', ' ').replace('\n', ' ') + "\r\n";
    const SnppPager &pager = std::get<SnppPager>(found);
    m_pagers.append(pager);
    return "250 Pager ID Accepted; jobid: " + pager.id.toUtf8() + "\r\n";
}

QByteArray SnppSession::send()
{
    if (m_pagers.isEmpty() || !m_message)
        return reply("503 Error, Pager ID or Message Incomplete");
    SnppBatch batch;
    batch.pagers = m_pagers;
    QList<QByteArray> parts;
    for (const QByteArray *part : {&m_subject, &*m_message, &m_caller})
        if (!part->isEmpty())
            parts << *part;
    batch.text = parts.join(' ');
    batch.severity = m_urgency == 2 ? QStringLiteral("critical") : m_urgency == 1 ? QStringLiteral("info") : QString();
    batch.notBefore = m_notBefore;
    const QString problem = m_desk.send(batch);
    if (!problem.isEmpty())
        return "554 Error, Failed: " + problem.toUtf8().replace('\r', ' ').replace('\n', ' ') + "\r\n";
    reset();
    return reply("250 Message Sent Successfully");
}

void SnppSession::reset()
{
    m_pagers.clear();
    m_message.reset();
    m_subject.clear();
    m_caller.clear();
    m_urgency = 0;
    m_notBefore = 0;
}
