#pragma once

struct AppData;
class SerialPort;
class SendView;
class Waiter;

// The stages of one call, driven by the send, send-again and hang-up buttons and
// the one-second timer. Waits go through the waiter, so the window stays live.
class SendSequence
{
public:
    enum Stage { StageCall = 0, StageNumber, StageMail, StageStar, StageHangUp, StageDone };

    SendSequence(AppData &data, SerialPort &port, Waiter &waiter, SendView &view);

    void cmdButton_Click();
    void cmdREPEAT_Click();
    void cmdCut_Click();
    void timTIME_Timer();

    int stage() const { return m_stage; }

private:
    AppData &m_data;
    SerialPort &m_port;
    Waiter &m_waiter;
    SendView &m_view;
    int m_stage = StageCall;
};
