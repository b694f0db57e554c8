#pragma once

#include "modem/line.h"
#include "modem/sendfrontend.h"
#include "modem/stagetexts.h"
#include "store/appdata.h"
#include "store/apperror.h"

#include <QList>
#include <QStringList>

// The send engine's front end without widgets, as a console sender would be: the status
// texts and the progress marks it would show, and the state of the window's controls,
// kept for the test to look at. Errors of code 8018 are recorded like the others; the
// reporter would keep quiet about them.
class ConsoleFrontEnd : public SendFrontEnd
{
public:
    explicit ConsoleFrontEnd(AppData &data) : m_data(data) {}

    int center = 0;
    int recipient = 0;
    QString mail;
    QString status; // status panel 1: the stage running, or the line's state
    bool sendEnabled = true;
    bool repeatEnabled = false;
    bool timerEnabled = false;
    bool menusEnabled = true;
    bool mailEnabled = true;
    QStringList clipboard; // every text put there; an empty entry for a clear
    QStringList errorsShown;
    QList<int> errorsReported;
    QList<SendOutcome> outcomes; // unattended sending's

    int selectedCenter() const override { return center; }
    int selectedRecipient() const override { return recipient; }
    QString mailText() const override { return mail; }
    void stageStarted(SendStage stage) override
    {
        status = stagetexts::running(stage);
        sendEnabled = repeatEnabled = timerEnabled = false;
        menusEnabled = menusEnabled && stage != SendStage::Call;
        mailEnabled = mailEnabled && stage != SendStage::Mail;
    }
    void nextStage(SendStage, bool afterSend) override
    {
        if (afterSend)
            status.clear();
    }
    void stageFinished() override { sendEnabled = timerEnabled = true; }
    void sendAgainAllowed(bool allowed) override { repeatEnabled = allowed; }
    void waitingForNextStage() override { timerEnabled = true; }
    void progress(Progress mark, int remaining, int total) override
    {
        clipboard << stagetexts::progress(mark, remaining, total);
    }
    void lineStatus(LineStatus line) override { status = stagetexts::lineStatus(line); }
    void callEnded() override
    {
        repeatEnabled = false;
        sendEnabled = menusEnabled = mailEnabled = true;
    }
    void sent() override
    {
        AddHistoryEntry(m_data, m_data.recipients.value(recipient).name, m_data.centers.value(center).name, mail);
    }
    void refused(Refusal reason) override { errorsShown << stagetexts::refusal(reason); }
    void failed(const AppError &error) override { errorsReported << error.code(); }
    void ended(const SendOutcome &outcome) override { outcomes << outcome; }

private:
    AppData &m_data;
};
