#pragma once

#include "modem/sendview.h"
#include "store/appdata.h"
#include "store/apperror.h"

#include <QList>
#include <QStringList>

// The main window as the send sequence sees it, with every control's state kept
// for the test to look at. Errors of code 8018 are recorded like the others; the
// reporter would keep quiet about them.
class RecordingSendView : public SendView
{
public:
    explicit RecordingSendView(AppData &data) : m_data(data) {}

    int center = 0;
    int recipient = 0;
    QString mail;
    QString panels[6];
    QString sendCaption = QStringLiteral("センターにかける");
    bool sendEnabled = true;
    int focusCount = 0;
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
    void setStatusText(int panel, const QString &text) override { panels[panel] = text; }
    QString statusText(int panel) const override { return panels[panel]; }
    void setSendCaption(const QString &caption) override { sendCaption = caption; }
    void setSendEnabled(bool enabled) override { sendEnabled = enabled; }
    void focusSend() override { ++focusCount; }
    void setRepeatCaption(const QString &caption) override { repeatCaption = caption; }
    void setRepeatEnabled(bool enabled) override { repeatEnabled = enabled; }
    void setTimerEnabled(bool enabled) override { timerEnabled = enabled; }
    void setOptionMenusEnabled(bool enabled) override { menusEnabled = enabled; }
    void setMailEnabled(bool enabled) override { mailEnabled = enabled; }
    void setClipboardText(const QString &text) override { clipboard << text; }
    void showError(const QString &text) override { errorsShown << text; }
    void reportError(const AppError &error) override { errorsReported << error.code(); }
    void recordHistory() override
    {
        AddHistoryEntry(m_data, m_data.recipients.value(recipient).name, m_data.centers.value(center).name, mail);
    }

private:
    AppData &m_data;
};
