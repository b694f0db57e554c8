#pragma once

#include <QString>

// Why the gateway's rules refuse a message that is handed in. The rules find the reason;
// each intake words it for the one who handed the message in (the command line names its
// options, HTTP its JSON fields, mail the addresses).
enum class Refused {
    None,                 // not refused by the rules
    NoRecipient,          // neither a name nor a number, or both
    NumberWithoutCenter,  // a number not in the book needs a centre
    BadNumber,            // the number given is no number (detail: why)
    UnknownRecipient,     // subject: the name
    NoCenterForRecipient, // subject: the name; the book ties no centre to it
    NoLineForCenter,      // subject: the centre; no line of the queue may call it
    TooLong,              // subject: the centre
    Unsendable,           // subject: the centre; characters it cannot take
    NoSettings,           // the data folder holds no settings file
    DeviceKind,           // the device kind cannot send here without a person
    QueueFull,            // MaxQueued= messages wait already: try again later (subject: the limit)
    Other                 // text says it the same for everyone
};

struct IntakeRefusal {
    Refused why = Refused::None;
    QString subject;
    // Worded for anyone, naming no input of an intake: what every intake may show as it is.
    QString text;
    bool optimized = false; // the text had been optimised for the centre (no use offering it)
};
