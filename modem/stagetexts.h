#pragma once

#include "modem/sendfrontend.h"

#include <QString>

// The texts the front ends show for the send engine's events, in one place for the
// main window and the command-line sender.
namespace stagetexts
{
// Status panel 1 while the stage sends.
QString running(SendStage stage);
// The send-again button's caption once the stage has run; empty where it keeps its caption.
QString sendAgainCaption(SendStage stage);
// The send button's caption when it runs the stage next.
QString sendCaption(SendStage stage, bool afterSend);
// Status panel 1 for the line's state.
QString lineStatus(LineStatus status);
// The clipboard's mark of the mail stage's progress; empty: the clipboard is cleared.
QString progress(Progress mark, int remaining, int total);
QString refusal(Refusal reason);
// The stage's name in events and logs: "call", "number", "mail", "star", "hangup", "done".
QString name(SendStage stage);
} // namespace stagetexts
