// frmMain as the send engine's front end: the selections and the message it asks for,
// and the captions, panels, enabling and focus its events stand for.
#include "ui/frmmain.h"

#include "modem/sendengine.h"
#include "modem/stagetexts.h"
#include "store/appdata.h"
#include "ui/clicklabel.h"
#include "ui/mailedit.h"
#include "ui/platform.h"

#include <QAction>
#include <QComboBox>
#include <QMessageBox>
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
    stbSTATUS[panel - 1]->setText(text);
}

QString frmMain::statusText(int panel) const
{
    return stbSTATUS[panel - 1]->text();
}

void frmMain::setSendEnabled(bool enabled)
{
    m_sequenceAllowsSend = enabled;
    updateSendEnabled();
}

void frmMain::setOptionMenusEnabled(bool enabled)
{
    mnuOPTION[0]->setEnabled(enabled);
    mnuOPTION[1]->setEnabled(enabled);
}

// The send-again button stays off while a stage sends: pressing it then would
// interleave two sends on one line.
void frmMain::stageStarted(SendStage stage)
{
    setStatusText(1, stagetexts::running(stage));
    const QString again = stagetexts::sendAgainCaption(stage);
    if (!again.isEmpty())
        cmdREPEAT->setText(again);
    setSendEnabled(false);
    cmdREPEAT->setEnabled(false);
    timTIME->stop();
    if (stage == SendStage::Call)
        setOptionMenusEnabled(false);
    if (stage == SendStage::Mail)
        txtMail->setEnabled(false);
}

void frmMain::nextStage(SendStage stage, bool afterSend)
{
    if (afterSend) {
        setStatusText(1, QString());
        setStatusText(2, QStringLiteral("0"));
    }
    cmdButton->setText(stagetexts::sendCaption(stage, afterSend));
}

void frmMain::stageFinished()
{
    setSendEnabled(true);
    cmdButton->setFocus();
    setStatusText(2, QStringLiteral("0"));
    timTIME->start();
}

void frmMain::sendAgainAllowed(bool allowed)
{
    cmdREPEAT->setEnabled(allowed);
}

void frmMain::waitingForNextStage()
{
    setStatusText(2, QStringLiteral("0"));
    timTIME->start();
}

void frmMain::progress(Progress mark, int remaining, int total)
{
    const QString text = stagetexts::progress(mark, remaining, total);
    if (text.isEmpty())
        m_platform.clipboard->clear();
    else
        m_platform.clipboard->setText(text);
}

void frmMain::lineStatus(LineStatus status)
{
    setStatusText(1, stagetexts::lineStatus(status));
}

void frmMain::callEnded()
{
    // A question of the call still open goes with it, unanswered.
    if (m_holdPhoneBox) {
        m_holdPhoneBox->disconnect(this);
        m_holdPhoneBox->close();
        m_holdPhoneBox = nullptr;
    }
    cmdREPEAT->setEnabled(false);
    setSendEnabled(true);
    setOptionMenusEnabled(true);
    txtMail->setEnabled(true);
}

void frmMain::sent()
{
    AddHistoryEntry(m_data, cmbNumber->currentText(), cmbCenter->currentText(), txtMail->toPlainText());
}

void frmMain::refused(Refusal reason)
{
    m_platform.boxes->show(this, stagetexts::refusal(reason), MessageBoxes::Critical, MessageBoxes::Ok);
}

void frmMain::failed(const AppError &error)
{
    m_platform.run->reportError(QStringLiteral("frmMain"), QStringLiteral("cmdButton_Click"), error, this, this);
}

// Asked without blocking: the engine's call waits for the answer, the window stays live
// (the hang-up button ends the call and takes the question away).
void frmMain::askToHoldPhone(std::function<void(bool playNumber)> answer)
{
    auto *box = new QMessageBox(QMessageBox::Information, QStringLiteral("Fumidori"),
                                QStringLiteral("受話器を取って、送話口をパソコンのスピーカーに当ててください。\n\n"
                                               "「番号を鳴らす」：センターの番号をトーンで鳴らします"
                                               "（トーン回線・IP 電話なら、これで電話がかかります）。\n"
                                               "「自分でかけた」：センターに自分で電話をかけたときに選びます。"),
                                QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("boxHoldPhone"));
    QPushButton *play = box->addButton(QStringLiteral("番号を鳴らす"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("自分でかけた"), QMessageBox::RejectRole);
    box->setDefaultButton(play);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::buttonClicked, this, [this, play, answer](QAbstractButton *button) {
        m_holdPhoneBox = nullptr;
        answer(button == play);
    });
    m_holdPhoneBox = box;
    box->open();
}

void frmMain::timTIME_Timer()
{
    if (m_engine->lineOpen())
        setStatusText(2, QString::number(statusText(2).toInt() + 1));
    else
        timTIME->stop();
}

void frmMain::restoreAfterPortFailure(const QString &panel1Text)
{
    setStatusText(1, panel1Text);
    setSendEnabled(true);
    setOptionMenusEnabled(true);
}
