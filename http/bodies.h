#pragma once

#include "store/intake.h"

#include <QByteArray>
#include <QString>
#include <variant>

// The bodies the listener takes, read into messages for the queue. A body that is not
// what the route takes gives the reason as the answer's text.
namespace httpbody
{

// POST /v1/messages: {"to": NAME} or {"number": DIGITS, "center": NAME}, "text",
// optionally "optimize".
std::variant<IntakeMessage, QString> message(const QByteArray &body);

// The page of an Alertmanager notification when no template is set.
inline constexpr char DefaultAlertTemplate[] = "{title} {alertname} {summary}";

// A notification without alerts: nothing to page, and nothing wrong either.
struct NoAlerts {
};

// POST /v1/alertmanager/NAME: a notification (payload version 4) as one page to the
// address-book entry name, its text from the template: {title} is "[FIRING:n]" or
// "[RESOLVED]", {status} FIRING or RESOLVED, {count} the alerts firing (with those the
// sender left out, truncatedAlerts), {alertname} and {summary} from the group's common
// labels and annotations (summary, else description), else from its first alert;
// {label:X} and {annotation:X} any other. Runs of spaces that an empty field leaves are
// closed up. The message fits itself to the centre.
std::variant<IntakeMessage, QString, NoAlerts> alert(const QByteArray &body, const QString &name,
                                                     const QString &pageTemplate);

// How much of a notification is kept whole. A storm's notification may be longer still:
// it is never refused for its size (the sender would drop it for good), but paged as a
// summary from what goes by.
inline constexpr qint64 AlertBytes = 4 * 1024 * 1024;

// The part of a notification past AlertBytes: its alerts counted as they go by, and its
// end kept, where the sender writes the group's fields (after the alerts).
struct Overflow {
    static constexpr qsizetype TailBytes = 64 * 1024;
    qint64 bytes = 0; // 0: the whole body was kept
    int firing = 0;   // alerts firing that begin in this part
    QByteArray tail;  // the last TailBytes of the body

    // The next piece; kept: the body's start, which this part follows.
    void add(const QByteArray &kept, const char *data, qsizetype size);
};

// The page of a notification longer than AlertBytes, from its start and the rest: the
// count and whatever of the group's common labels and annotations its end holds.
std::variant<IntakeMessage, QString, NoAlerts> alertSummary(const QByteArray &start, const Overflow &rest,
                                                            const QString &name, const QString &pageTemplate);

// A refusal of the gateway's rules worded for an HTTP client: the JSON fields it sent, or
// the name at the end of the URL (namedInPath: an alert's route).
QString refusalText(const IntakeRefusal &r, bool namedInPath = false);

} // namespace httpbody
