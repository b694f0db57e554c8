#pragma once

#include <QString>

class AppError;

// What the send sequence sees of the main window: the selections, the message and
// every control the stages set. The main window implements it; tests record it.
class SendView
{
public:
    virtual ~SendView() = default;
    virtual int selectedCenter() const = 0;    // cmbCenter index, -1 for none
    virtual int selectedRecipient() const = 0; // cmbNumber index, -1 for none
    virtual QString mailText() const = 0;      // txtMail's text, '\n' for a line break
    virtual void setStatusText(int panel, const QString &text) = 0; // panels 1 to 5
    virtual QString statusText(int panel) const = 0;
    virtual void setSendCaption(const QString &caption) = 0;
    virtual void setSendEnabled(bool enabled) = 0;
    virtual void focusSend() = 0;
    virtual void setRepeatCaption(const QString &caption) = 0;
    virtual void setRepeatEnabled(bool enabled) = 0;
    virtual void setTimerEnabled(bool enabled) = 0;
    virtual void setOptionMenusEnabled(bool enabled) = 0; // "設定(&S)..." and "追加／編集(&A)..."
    virtual void setMailEnabled(bool enabled) = 0;
    virtual void setClipboardText(const QString &text) = 0; // empty text clears the clipboard
    virtual void showError(const QString &text) = 0;        // error icon, OK button
    // Routes a failure of cmdButton_Click to the error reporter.
    virtual void reportError(const AppError &error) = 0;
    // AddHistoryEntry with the selected recipient's and centre's names and the message.
    virtual void recordHistory() = 0;
};
