#pragma once

#include <QString>
#include <QtGlobal>

// Every way a send can end, from the line up to the exit status: one row each in the
// table of failure.cpp. Each layer passes the value on unchanged and asks the table;
// nothing switches on a raw error code. A switch over Failure names every value (no
// default:), so a new row is a compile error wherever it has not been thought of.
enum class Failure : quint8 {
    None,               // sent: not a failure
    PermissionDenied,   // the user may not open the port's device (not in its group)
    BadPortNumber,      // the port's device does not exist
    PortInUse,          // the port is held by a program that takes no lock of ours
    PortNotOpen,        // a write or read on a port already closed (the call was cut)
    AudioOutput,        // the sound output cannot be had or failed
    DeviceFailed,       // the device or its account's transport failed: silent, NO DIALTONE,
                        // ERROR to a set-up command, the SIP engine or transport
    CallFailed,         // the call failed for a reason every line may share: BUSY, NO ANSWER,
                        // NO CARRIER, ERROR to the dial, a refusal by the centre
    KeyringUnavailable, // the desktop keyring could not be read for the account's password
    AccountRefused,     // the line's server turned the account's name or password down
    Held,               // another program holds the line (its lock): no try is counted
    NotForLine,         // the line may not call the message's centre
    Refused,            // the message itself cannot go: unknown name, too long, bad input
    Stopped,            // stopped before or during the call (a signal, the user)
    Unexpected,         // anything else that reaches the error reporter
};

// Whose fault a failure is, for a runner with several lines.
enum class Fault : quint8 {
    Nobody,  // sent, stopped, held by another program
    Device,  // the device, its port or its account: another line may carry the message
    Message, // the message itself: no line can send it
    Centre,  // the number or the centre: every line may share it
};

// What the window does after it has put the report on the clipboard.
enum class WindowAction : quint8 {
    Box,        // a box, then the window is ready for the next send
    Silent,     // nothing (the call was cut by the user)
    EndProgram, // the report, then the program ends
};

// How fumidori-send says a send ended.
enum class ExitStatus {
    Sent = 0,       // the message went through and is in the history
    LineFailed = 1, // no answer, NO CARRIER, the device went away: worth another try
    BadInput = 2,   // bad usage or input: unknown name, too long, uncodable, unreadable settings
    Busy = 3,       // the line or the queue is in use by another program
};

struct FailureRow {
    Failure failure;
    int code; // in the error report; 0 where the failure is never reported
    Fault fault;
    bool retryHelps; // another try, later or on another line, may succeed
    ExitStatus exit;
    const char *word; // for hooks and --json: sent, failed, refused, busy
    WindowAction window;
    const char *panel; // the status bar's first panel after the box (UTF-8); may be empty
    // The box's text (UTF-8, lines joined by "\n"); "%1" stands for the failure's
    // description; empty: the description alone.
    const char *text;
};

namespace failures
{
// The row of a failure.
const FailureRow &row(Failure failure);
// The failure whose report code this is (the first row with it); Unexpected for a code
// no row has.
Failure ofCode(int code);
} // namespace failures
