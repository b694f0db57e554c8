#pragma once

#include "store/failure.h"

#include <QString>
#include <functional>

class AppError;

// The stages of one send, in the order the send button runs them.
enum class SendStage { Call = 0, Number, Mail, Star, HangUp, Done };

// What the line's state is shown as, beside the stage running.
enum class LineStatus { Ready, HungUp, Dropped };

// The marks of the mail stage's progress.
enum class Progress { Begun, Piece, DataSent, EndSent, LineCut };

// Why a press of the send button did nothing.
// BadNumber: a number holds a character that cannot be keyed (the detail names it).
enum class Refusal { NoCenter, NoRecipient, BadNumber };

// How an unattended send ended, told once when the engine has settled.
// None: the message went out and the call ended at its hang-up; otherwise the failure
// that ended it (a dropped line is CallFailed, an abandoned send Stopped).
struct SendOutcome {
    Failure failure = Failure::None;
    QString text; // why, for a person; empty when sent
};

// What the send engine asks of its front end (the main window, a command-line sender,
// a test) and what it tells it. The engine names stages and events; the front end
// turns them into captions, panel texts, enabling and focus (modem/stagetexts.h has
// the texts).
class SendFrontEnd
{
public:
    virtual ~SendFrontEnd() = default;

    // Asked when a stage needs them.
    virtual int selectedCenter() const = 0;    // index into the centres, -1 for none
    virtual int selectedRecipient() const = 0; // index into the recipients, -1 for none
    virtual QString mailText() const = 0;      // '\n' for a line break

    // A stage starts sending: no other stage may be started until it has finished.
    virtual void stageStarted(SendStage stage) = 0;
    // What the send button does next; afterSend: a whole send is behind (send it again).
    virtual void nextStage(SendStage stage, bool afterSend) = 0;
    // A stage's writes are done (and its wait, when the sequence stops there).
    virtual void stageFinished() = 0;
    // Whether the stage just run can be sent again.
    virtual void sendAgainAllowed(bool allowed) = 0;
    // Automatic sending counts down to the next stage.
    virtual void waitingForNextStage() = 0;
    // The mail stage's progress: characters left to send of total.
    virtual void progress(Progress mark, int remaining, int total) = 0;
    virtual void lineStatus(LineStatus status) = 0;
    // The call is over (hung up, dropped or failed): the line is free.
    virtual void callEnded() = 0;
    // The message went through: it belongs in the history.
    virtual void sent() = 0;
    // detail: what stagetexts::refusal adds to the reason (the number and its character).
    virtual void refused(Refusal reason, const QString &detail) = 0;
    // A stage failed; 8018 (the line closed under it) is no news to the user.
    virtual void failed(const AppError &error) = 0;
    // The sound card's call: the user is to pick up the phone and hold it to the
    // speaker, then answer true to have the centre's number played (a line that takes
    // tone dialling dials it) or false after dialling it themselves. The answer may
    // come later, from the event loop; it is dropped once the call has ended. A front
    // end without a person to ask plays the number.
    virtual void askToHoldPhone(std::function<void(bool playNumber)> answer) { answer(true); }
    // Unattended sending only: how the send ended.
    virtual void ended(const SendOutcome &) {}
};
