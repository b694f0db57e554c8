// frmMain's side of the send sequence: the selections, the message and the controls
// that the stages read and set, and where their failures and finished sends go.
#include "ui/frmmain.h"

#include "store/appdata.h"
#include "ui/clicklabel.h"
#include "ui/mailedit.h"
#include "ui/platform.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>

int frmMain::selectedCenter() const
{
    return cmbCenter->currentIndex();
}

int frmMain::selectedRecipient() const
{
    return cmbNumber->currentIndex();
}

QString frmMain::mailText() const
{
    return txtMail->toPlainText();
}

void frmMain::setStatusText(int panel, const QString &text)
{
    if (panel >= 1 && panel <= stbSTATUS.size())
        stbSTATUS[panel - 1]->setText(text);
}

QString frmMain::statusText(int panel) const
{
    return panel >= 1 && panel <= stbSTATUS.size() ? stbSTATUS[panel - 1]->text() : QString();
}

void frmMain::setSendCaption(const QString &caption)
{
    cmdButton->setText(caption);
}

void frmMain::setSendEnabled(bool enabled)
{
    m_sequenceAllowsSend = enabled;
    updateSendEnabled();
}

void frmMain::focusSend()
{
    cmdButton->setFocus();
}

void frmMain::setRepeatCaption(const QString &caption)
{
    cmdREPEAT->setText(caption);
}

void frmMain::setRepeatEnabled(bool enabled)
{
    cmdREPEAT->setEnabled(enabled);
}

void frmMain::setTimerEnabled(bool enabled)
{
    if (enabled)
        timTIME->start();
    else
        timTIME->stop();
}

void frmMain::setOptionMenusEnabled(bool enabled)
{
    mnuOPTION[0]->setEnabled(enabled);
    mnuOPTION[1]->setEnabled(enabled);
}

void frmMain::setMailEnabled(bool enabled)
{
    txtMail->setEnabled(enabled);
}

void frmMain::setClipboardText(const QString &text)
{
    if (text.isEmpty())
        m_platform.clipboard->clear();
    else
        m_platform.clipboard->setText(text);
}

void frmMain::showError(const QString &text)
{
    m_platform.boxes->show(this, text, MessageBoxes::Critical, MessageBoxes::Ok);
}

void frmMain::reportError(const AppError &error)
{
    ReportError(QStringLiteral("frmMain"), QStringLiteral("cmdButton_Click"), error, m_platform, this, this);
}

void frmMain::recordHistory()
{
    AddHistoryEntry(m_data, cmbNumber->currentText(), cmbCenter->currentText(), txtMail->toPlainText());
}

void frmMain::restoreAfterPortFailure(const QString &panel1Text)
{
    setStatusText(1, panel1Text);
    setSendEnabled(true);
    setOptionMenusEnabled(true);
}
