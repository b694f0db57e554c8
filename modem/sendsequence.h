#pragma once

#include "modem/commandchannel.h"

#include <QMetaObject>

struct AppData;
struct MessageCenter;
class SerialPort;
class SendView;
class Waiter;

// The stages of one call, driven by the send, send-again and hang-up buttons and
// the one-second timer. Waits go through the waiter, so the window stays live: the
// hang-up button closes the port under a waiting stage, whose next write then fails
// quietly with the not-open code. Nothing here holds state that an exit in the
// middle of a stage would have to unwind.
class SendSequence
{
public:
    enum Stage { StageCall = 0, StageNumber, StageMail, StageStar, StageHangUp, StageDone };

    SendSequence(AppData &data, SerialPort &port, Waiter &waiter, SendView &view);
    ~SendSequence();
    SendSequence(const SendSequence &) = delete;
    SendSequence &operator=(const SendSequence &) = delete;

    void cmdButton_Click();
    void cmdREPEAT_Click();
    void cmdCut_Click();
    void timTIME_Timer();

    int stage() const { return m_stage; }
    CommandChannel &channel() { return m_channel; }

private:
    void performStage(const MessageCenter &center);
    void callStage(const MessageCenter &center);
    void numberStage(const MessageCenter &center);
    void mailStage(const MessageCenter &center);
    void starStage();
    void hangUpStage();
    void beginStage(const QString &panel1, const QString &repeatCaption);
    void advance(int stage, const QString &caption);
    void finishStage();
    void AwaitNextStage(double delay);
    const MessageCenter *selectedCenter() const;
    void lineDropped();

    AppData &m_data;
    SerialPort &m_port;
    SendView &m_view;
    CommandChannel m_channel;
    int m_stage = StageCall;
    bool m_inCall = false;    // from the centre call until the hang-up
    bool m_hangingUp = false; // the port closes by our own hang-up
    QMetaObject::Connection m_closedConnection;
};
