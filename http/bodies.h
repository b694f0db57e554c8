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

// POST /v1/alertmanager/NAME: a notification (payload version 4) as one page to the
// address-book entry name, its text from the template: {title} is "[FIRING:n]" or
// "[RESOLVED]", {status} FIRING or RESOLVED, {count} the alerts firing, {alertname} and
// {summary} from the group's common labels and annotations (summary, else description),
// else from its first alert; {label:X} and {annotation:X} any other. Runs of spaces that
// an empty field leaves are closed up. The message fits itself to the centre.
std::variant<IntakeMessage, QString> alert(const QByteArray &body, const QString &name, const QString &pageTemplate);

// A refusal of the gateway's rules worded for an HTTP client: the JSON fields it sent, or
// the name at the end of the URL (namedInPath: an alert's route).
QString refusalText(const IntakeRefusal &r, bool namedInPath = false);

} // namespace httpbody
