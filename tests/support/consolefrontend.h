#pragma once

#include "modem/line.h"
#include "modem/sendfrontend.h"
#include "modem/stagetexts.h"
#include "store/appdata.h"
#include "store/apperror.h"

#include <QList>
#include <QStringList>

// The send engine's front end without widgets, as a console sender would be: every
// text it would print goes to `printed`, and the state of the window's controls is
// kept for the test to look at. Errors of code 8018 are recorded like the others; the
// reporter would keep quiet about them.
class ConsoleFrontEnd : public SendFrontEnd
{
public:
    explicit ConsoleFrontEnd(AppData &data) : m_data(data) {}

    int center = 0;
    int recipient = 0;
    QString mail;
    QStringList printed;
    QString panels[3]; // status panels 1 and 2
    QString sendCaption = stagetexts::sendCaption(SendStage::Call, false);
    bool sendEnabled = true;
    QString repeatCaption;
    bool repeatEnabled = false;
    bool timerEnabled = false;
    bool menusEnabled = true;
    bool mailEnabled = true;
    QStringList clipboard; // every text put there; an empty entry for a clear
    QStringList errorsShown;
    QList<int> errorsReported;

    int selectedCenter() const override { return center; }
    int selectedRecipient() const override { return recipient; }
    QString mailText() const override { return mail; }
    void stageStarted(SendStage stage) override
    {
        show(stagetexts::running(stage));
        if (!stagetexts::sendAgainCaption(stage).isEmpty())
            repeatCaption = stagetexts::sendAgainCaption(stage);
        sendEnabled = repeatEnabled = timerEnabled = false;
        menusEnabled = menusEnabled && stage != SendStage::Call;
        mailEnabled = mailEnabled && stage != SendStage::Mail;
    }
    void nextStage(SendStage stage, bool afterSend) override
    {
        if (afterSend) {
            panels[1].clear();
            panels[2] = QStringLiteral("0");
        }
        sendCaption = stagetexts::sendCaption(stage, afterSend);
    }
    void stageFinished() override
    {
        sendEnabled = timerEnabled = true;
        panels[2] = QStringLiteral("0");
    }
    void sendAgainAllowed(bool allowed) override { repeatEnabled = allowed; }
    void waitingForNextStage() override
    {
        timerEnabled = true;
        panels[2] = QStringLiteral("0");
    }
    void progress(Progress mark, int remaining, int total) override
    {
        clipboard << stagetexts::progress(mark, remaining, total);
        if (!clipboard.last().isEmpty())
            printed << clipboard.last();
    }
    void lineStatus(LineStatus status) override { show(stagetexts::lineStatus(status)); }
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

private:
    void show(const QString &text)
    {
        panels[1] = text;
        printed << text;
    }
    AppData &m_data;
};
