#pragma once

#include "gateway/outcome.h"
#include "store/appdata.h"

#include <QObject>
#include <functional>
#include <memory>

// One whole call for a prepared message, from the centre call to the hang-up, with no
// window: the send engine's unattended mode.
struct CallRequest {
    QString folder;
    Settings settings;
    MessageCenter center;
    QString number;
    QString text; // '\n' for a line break
    // The SIP account's password, read before the call (empty: the call goes without
    // registering).
    QString sipPassword;
    QString device;               // a device path to open in place of the COM number's; empty: none
    qint64 answerLimitMs = 60000; // how long the device may take to answer (Line::setAnswerLimit)
    bool trace = false;           // the line log's records on standard error as well
};

// Drives the send engine for fumidori-send and tells what happens on the line.
class CallDriver : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~CallDriver() override = default;

    virtual void start(const CallRequest &request) = 0;
    // Checks the idle line without a call, as its kind's row says (the request's centre,
    // number and text go unused); finished() tells the outcome. One that cannot check
    // fails it.
    virtual void check(const CallRequest &request);
    // The longest an AT check waits for each answer: the line is held under a second.
    static constexpr qint64 AtCheckAnswerMs = 1000;
    // Hangs up at once (SIGTERM); finished() follows with Stopped.
    virtual void abort() = 0;

signals:
    // stage: the engine's name for it; text: the window's status text.
    void stageChanged(const QString &stage, const QString &text);
    void progress(int remaining, int total);
    // Failure::None when sent, else the failure the engine told (SendOutcome).
    void finished(Failure failure, const QString &message);
};

// The sound card's question (pick up the phone, hold it to the speaker), asked of a
// person where there is one: the command line asks on its terminal.
class HoldQuestion : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    // Asks, and calls answer once a valid answer has come.
    virtual void ask(std::function<void(bool playNumber)> answer) = 0;
    // The call has ended: the question is taken away.
    virtual void cancel() = 0;

signals:
    // No answer will come (the terminal's input has ended or cannot be read).
    void inputClosed();
};
using HoldQuestions = std::function<std::unique_ptr<HoldQuestion>()>;

// The driver over the send engine and the port of the folder's settings. questions: who
// is asked to hold the phone (none: a call that needs it is ended).
std::unique_ptr<CallDriver> makeCallDriver(QObject *parent = nullptr, HoldQuestions questions = {});
