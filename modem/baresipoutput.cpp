#include "modem/baresipoutput.h"

#include <QRegularExpression>

namespace baresip
{

namespace
{

struct Row {
    Event event;
    QRegularExpression pattern; // captures the subject, then the detail
};

// Each pattern is anchored at both ends and takes no spaces where an address stands, so
// that what a far end puts into its address or reason cannot pass for another line.
const QList<Row> &rows()
{
    static const QList<Row> table = {
        {Event::Ready, QRegularExpression(QStringLiteral("^baresip is ready\\.$"))},
        // "Please enter password for sip:u@h: Invalid password (0 - 63 characters ...)"
        {Event::PasswordRefused,
         QRegularExpression(QStringLiteral("^(?:Please enter password for (\\S+): )?()Invalid password \\(.*\\)$"))},
        // "u@h: {0/UDP/v4} 200 OK (kamailio (5.6.3 (x86_64/linux))) [1 binding]"
        {Event::Registered,
         QRegularExpression(QStringLiteral("^(\\S+): \\{\\d+/\\w+/v\\d\\} (2\\d\\d [^(]*?)(?: \\(.*)?$"))},
        // "reg: sip:u@h: 401 Unauthorized (server)" or "reg: sip:u@h: Register: Connection refused"
        {Event::RegisterFailed, QRegularExpression(QStringLiteral("^reg: (\\S+): ([^(]*?)(?: \\(.*\\))?$"))},
        // "call: SIP Progress: 180 Ringing (/)"
        {Event::Ringing, QRegularExpression(QStringLiteral("^call: SIP Progress: ()(18\\d [^(]*?)(?: \\(.*\\))?$"))},
        // "u@h: Call established: sip:0570@h"
        {Event::Established, QRegularExpression(QStringLiteral("^(\\S+): Call established: (\\S+)$"))},
        // "sip:0570@h: session closed: 404 Not Found", "...: session closed"
        {Event::Closed, QRegularExpression(QStringLiteral("^(\\S+): session closed(?:: (.*))?$"))},
        // "sip:u@h: Call with sip:0570@h terminated (duration: 4 secs)"
        {Event::Terminated,
         QRegularExpression(QStringLiteral("^(\\S+): Call with (\\S+) terminated \\(duration: .*\\)$"))},
        // "received event: '1' (end=0)"; the end of the key ("end=1") is not a new key
        {Event::DigitReceived, QRegularExpression(QStringLiteral("^received event: ()'([0-9*#A-D])' \\(end=0\\)$"))},
    };
    return table;
}

} // namespace

EngineLine readLine(QStringView line)
{
    for (const Row &row : rows()) {
        const QRegularExpressionMatch m = row.pattern.match(line.toString());
        if (m.hasMatch()) {
            return {row.event, m.captured(1), m.captured(2).trimmed()};
        }
    }
    return {};
}

bool isPasswordPrompt(QStringView text)
{
    static const QRegularExpression prompt(QStringLiteral("^Please enter password for \\S+: $"));
    return prompt.match(text.toString()).hasMatch();
}

} // namespace baresip
