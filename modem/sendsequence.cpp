#include "modem/sendsequence.h"

#include "encoding/codetable.h"
#include "modem/hangup.h"
#include "modem/sendview.h"
#include "modem/serialport.h"
#include "store/appdata.h"
#include "store/apperror.h"

namespace
{

bool hasStarStage(int centerKind)
{
    return centerKind == 2 || centerKind == 7;
}

} // namespace

SendSequence::SendSequence(AppData &data, SerialPort &port, Waiter &waiter, SendView &view)
    : m_data(data), m_port(port), m_view(view), m_channel(data.settings, port, waiter)
{
    m_channel.setNoCarrierAction([this] { lineDropped(); });
    // The device went away in the middle of a call (a cable pulled): treated as a
    // dropped line, so the window does not stay with its buttons disabled.
    m_closedConnection = QObject::connect(&port, &SerialPort::closed, [this] {
        if (m_inCall && !m_hangingUp)
            lineDropped();
    });
}

SendSequence::~SendSequence()
{
    QObject::disconnect(m_closedConnection);
}

const MessageCenter *SendSequence::selectedCenter() const
{
    const int i = m_view.selectedCenter();
    return i >= 0 && i < m_data.centers.size() ? &m_data.centers[i] : nullptr;
}

void SendSequence::cmdButton_Click()
{
    const MessageCenter *selected = selectedCenter();
    if (!selected) {
        m_view.showError(QStringLiteral("センターを選択してください。"));
        return;
    }
    // A copy: the stage outlives the waits, during which the lists could change.
    const MessageCenter center = *selected;
    try {
        performStage(center);
    } catch (const AppError &error) {
        if (!m_port.isOpen())
            m_inCall = false; // the port did not open, or the line is gone
        m_view.reportError(error);
    }
}

void SendSequence::performStage(const MessageCenter &center)
{
    switch (m_stage) {
    case StageCall:
        callStage(center);
        break;
    case StageNumber:
        numberStage(center);
        break;
    case StageMail:
        mailStage(center);
        break;
    case StageStar:
        starStage();
        break;
    case StageHangUp:
        hangUpStage();
        break;
    case StageDone:
        m_view.setStatusText(1, QString());
        m_view.setStatusText(2, QStringLiteral("0"));
        advance(StageCall, QStringLiteral("もう一回送る"));
        break;
    default:
        break;
    }
}

// The send-again button stays off while a stage sends: pressing it then would
// interleave two sends on one line.
void SendSequence::beginStage(const QString &panel1, const QString &repeatCaption)
{
    m_view.setStatusText(1, panel1);
    if (!repeatCaption.isEmpty())
        m_view.setRepeatCaption(repeatCaption);
    m_view.setSendEnabled(false);
    m_view.setRepeatEnabled(false);
    m_view.setTimerEnabled(false);
}

void SendSequence::advance(int stage, const QString &caption)
{
    m_view.setSendCaption(caption);
    m_stage = stage;
}

void SendSequence::finishStage()
{
    m_view.setSendEnabled(true);
    m_view.focusSend();
    m_view.setStatusText(2, QStringLiteral("0"));
    m_view.setTimerEnabled(true);
}

void SendSequence::callStage(const MessageCenter &center)
{
    beginStage(QStringLiteral("センターに電話をかけてます"), QString());
    m_view.setOptionMenusEnabled(false);
    m_inCall = true;
    m_channel.CallCenter(center.number);
    advance(StageNumber, QStringLiteral("電話番号を送る"));
    AwaitNextStage(center.waitBeforeNumber);
    finishStage();
    // Sending the centre call again is no stage of its own. When automatic mode went
    // on from here, the later stage has set the button as it should be.
    if (m_stage == StageNumber)
        m_view.setRepeatEnabled(false);
}

void SendSequence::numberStage(const MessageCenter &center)
{
    const int r = m_view.selectedRecipient();
    if (r < 0 || r >= m_data.recipients.size()) {
        m_view.showError(QStringLiteral("送信相手を選択してください。"));
        return;
    }
    const QString number = m_data.recipients[r].number;
    beginStage(QStringLiteral("相手の電話番号を送信してます"), QStringLiteral("もう一度番号を送る"));
    if (center.kind == 5) {
        m_channel.DialDigits(QStringLiteral("1"));
        m_channel.WaitSeconds(1);
        m_channel.WaitForOk(0);
    }
    if (hasStarStage(center.kind)) {
        m_channel.DialDigits(QStringLiteral("#"));
        m_channel.WaitForOk(0);
    }
    m_channel.DialDigits(number + QLatin1Char('#'));
    advance(StageMail, QStringLiteral("メールを送る"));
    AwaitNextStage(center.waitBeforeMail);
    finishStage();
}

void SendSequence::mailStage(const MessageCenter &center)
{
    beginStage(QStringLiteral("メールを送信してます"), QStringLiteral("もう一度メールを送る"));
    m_view.setMailEnabled(false);
    QString text = m_view.mailText();
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    // A piece of no characters would never finish the message.
    const int step = qMax<int>(1, m_data.settings.SendStrings);
    const QStringList pieces = messagePieces(text, step);
    const int total = int(text.size() + text.count(QLatin1Char('\n'))); // a line break is CR LF
    int remaining = total;
    m_view.setClipboardText(QString());
    for (const QString &piece : pieces) {
        m_channel.DialDigits(piece);
        m_channel.WaitForOk(m_data.settings.MailInterval);
        remaining -= step;
        m_view.setClipboardText(QStringLiteral("T = %1/%2").arg(remaining).arg(total));
    }
    m_view.setClipboardText(QStringLiteral("Send Data OK"));
    m_channel.DialDigits(center.kind == 7 ? QStringLiteral("#") : QStringLiteral("##"));
    m_view.setClipboardText(QStringLiteral("Send ## OK"));
    if (hasStarStage(center.kind))
        advance(StageStar, QStringLiteral("「*」メールを送る"));
    else
        advance(StageHangUp, QStringLiteral("回線を切る"));
    m_view.setClipboardText(QStringLiteral("Line Cut OK"));
    AwaitNextStage(center.waitBeforeHangUp);
    finishStage();
}

void SendSequence::starStage()
{
    beginStage(QStringLiteral("「*」を送信しまてます"), QStringLiteral("もう一度「*」を送る"));
    m_channel.DialDigits(QStringLiteral("*"));
    advance(StageHangUp, QStringLiteral("回線を切る"));
    AwaitNextStage(6);
    finishStage();
}

void SendSequence::hangUpStage()
{
    cmdCut_Click();
    advance(StageDone, QStringLiteral("送ったよ！"));
}

void SendSequence::AwaitNextStage(double delay)
{
    if (!m_port.isOpen() || m_data.settings.OkCheckNo == 1)
        return;
    m_channel.WaitForOk(0);
    if (m_stage == StageCall || delay == 0 || m_data.settings.AutoTransmit == 0) {
        // Only while the call is still open: after a hang-up there is nothing to send again.
        if (m_stage != StageCall && m_port.isOpen())
            m_view.setRepeatEnabled(true);
        return;
    }
    m_view.setRepeatEnabled(false);
    m_view.setStatusText(2, QStringLiteral("0"));
    m_view.setTimerEnabled(true);
    m_channel.WaitSeconds(delay);
    if (m_port.isOpen())
        cmdButton_Click();
}

void SendSequence::cmdREPEAT_Click()
{
    if (!m_port.isOpen() || m_stage < StageNumber || m_stage > StageHangUp)
        return;
    int again = m_stage - 1;
    const MessageCenter *center = selectedCenter();
    if (m_stage == StageHangUp && center && !hasStarStage(center->kind))
        again = StageMail;
    m_stage = again;
    cmdButton_Click();
}

void SendSequence::cmdCut_Click()
{
    // At the hang-up stage the message has gone out: it is recorded however the call ends,
    // by this button, "NO CARRIER" or the device going away.
    if (m_stage == StageHangUp && (m_inCall || m_port.isOpen()))
        m_view.recordHistory();
    if (m_port.isOpen()) {
        m_view.setStatusText(1, QStringLiteral("電話回線を切断しました"));
        m_hangingUp = true;
        try {
            hangUp(m_port, m_data.settings.ModemKind);
        } catch (const AppError &error) {
            // The device went away while hanging up: the port is closed all the same.
            if (error.code() != ErrorCode::PortNotOpen) {
                m_hangingUp = false;
                throw;
            }
        }
        m_hangingUp = false;
    }
    m_inCall = false;
    m_port.setInputMode(SerialPort::Text);
    m_view.setRepeatEnabled(false);
    m_view.setSendEnabled(true);
    advance(StageCall, QStringLiteral("センターにかける"));
    m_view.setOptionMenusEnabled(true);
    m_view.setMailEnabled(true);
}

// "NO CARRIER": the same hang-up, but the user is told the line was dropped.
void SendSequence::lineDropped()
{
    cmdCut_Click();
    m_view.setStatusText(1, QStringLiteral("回線が切断されました"));
}

void SendSequence::timTIME_Timer()
{
    if (m_port.isOpen())
        m_view.setStatusText(2, QString::number(m_view.statusText(2).toInt() + 1));
    else
        m_view.setTimerEnabled(false);
}
