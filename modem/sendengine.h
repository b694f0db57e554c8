#pragma once

#include "modem/sendfrontend.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <functional>

struct AppData;
struct MessageCenter;
class Line;
class LineSet;

// The stages of one send, driven by the send, send-again and hang-up buttons (or
// whatever stands for them). Each stage is a coroutine that runs to its next wait and
// resumes when the line answers, a timer fires or the line closes; automatic sending
// runs the next stage once the one before has finished, never from inside it. The
// hang-up may come during any wait: it closes the line, and the stage's next write
// fails quietly with the not-open code.
class SendEngine : public QObject
{
    Q_OBJECT
public:
    SendEngine(AppData &data, LineSet &lines, SendFrontEnd &frontEnd);
    ~SendEngine() override;

    // The send button: runs the next stage, and with automatic sending the ones after it.
    // Does nothing while a stage runs.
    void send();
    // The send-again button: the stage just run once more, while the call is open.
    void sendAgain();
    // The hang-up button: records a send that reached its hang-up stage (also when the
    // line has just dropped), hangs up, and makes the centre call the next stage.
    void hangUp();
    // At the program's end: the hang-up command and the close, nothing else; a device
    // that has gone away does not stop the end.
    void hangUpForExit();
    // After hangUpForExit(): whether the line's device is still ending the call.
    bool lineEnding() const;
    // After hangUpForExit(): done runs once the line's device has ended the call (a SIP
    // engine has said goodbye to the centre), at once when there is nothing to wait for.
    // context ends the wait when it goes.
    void whenLineEnded(QObject *context, std::function<void()> done);

    // Sending with nobody there (a script, the queue): each stage goes on to the next
    // after the centre's wait whatever AutoTransmit and OkCheckNo say, every wait for the
    // device's answer ends after answerLimitMs (see Line::setAnswerLimit), and the end
    // of the send is told once through the front end's ended(). Set before send().
    void setUnattended(qint64 answerLimitMs);
    // Unattended: ends the send for the reason given (a signal, a prompt gone); the
    // outcome names it, unless the message had gone out already.
    void abandon(const QString &reason);

    // The seconds between the "*" and the hang-up, for the centre kinds with a star stage.
    static constexpr double StarToHangUpSeconds = 6;

    SendStage stage() const { return m_stage; }
    bool busy() const { return m_busy; }
    bool lineOpen() const;

signals:
    // A press has run to its end, with every stage automatic sending went on to: the
    // engine takes the next press.
    void settled();

private:
    QCoro::Task<> run();
    QCoro::Task<bool> press();
    QCoro::Task<bool> performStage(const MessageCenter &center);
    QCoro::Task<bool> callStage(const MessageCenter &center);
    QCoro::Task<bool> numberStage(const MessageCenter &center);
    QCoro::Task<bool> mailStage(const MessageCenter &center);
    QCoro::Task<bool> starStage();
    QCoro::Task<bool> awaitNextStage(double delay);
    void hangUpStage();
    void refuse(Refusal reason, const QString &detail = {});
    void startStage(SendStage stage);
    void advance(SendStage stage, bool afterSend = false);
    void finishStage();
    const MessageCenter *selectedCenter() const;
    QString keyedNumber(const QString &typed, bool center, const QString &name);
    void takeLine();
    void lineDropped();
    void endUnattended();
    void logStage(const QString &name);
    void logOutcome(const QString &text);

    AppData &m_data;
    LineSet &m_lines;
    SendFrontEnd &m_front;
    Line *m_line = nullptr; // the line of the last call
    SendStage m_stage = SendStage::Call;
    bool m_busy = false;      // a press is running
    bool m_inCall = false;    // from the centre call until the hang-up
    bool m_hangingUp = false; // the line closes by our own hang-up
    // Unattended sending: the answer limit (negative: a person is there), what the
    // outcome will say, and whether it has been told.
    qint64 m_answerLimitMs = -1;
    bool m_sent = false;
    bool m_reported = false;
    SendOutcome m_outcome;
    QString m_dropped;   // the line dropped: the text, unless a failure says more
    QString m_abandoned; // abandon()'s reason
};
