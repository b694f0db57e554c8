#pragma once

#include <QString>
#include <QStringView>

// What baresip 1.0.0 prints on its standard output that the program acts on: one row
// per kind of line. Everything else it prints is only shown in the line's log.
namespace baresip
{

enum class Event {
    None,
    Ready,           // the engine takes commands
    PasswordRefused, // the password line was too long
    Registered,      // subject: the account; detail: the server's answer ("200 OK")
    RegisterFailed,  // subject: the account; detail: the answer or the error
    Ringing,         // detail: "180 Ringing"
    Established,     // subject: the account; detail: the far end
    Closed,          // subject: the far end; detail: why ("404 Not Found"), or empty
    Terminated,      // subject: the account; detail: the far end (after an established call)
    DigitReceived,   // detail: the key ("0"-"9", "*", "#", "A"-"D")
};

struct EngineLine {
    Event event = Event::None;
    QString subject;
    QString detail;
};

// The event of one output line, colours and control characters already removed.
EngineLine readLine(QStringView line);

// True when text, the start of a line not yet ended, is the password prompt.
bool isPasswordPrompt(QStringView text);

} // namespace baresip
