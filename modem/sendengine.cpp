#include "modem/sendengine.h"

#include "encoding/centerkind.h"
#include "encoding/codetable.h"
#include "modem/devicekind.h"
#include "modem/line.h"
#include "modem/linelog.h"
#include "modem/stagetexts.h"
#include "store/appdata.h"
#include "store/apperror.h"
#include "store/dialnumber.h"

SendEngine::SendEngine(AppData &data, LineSet &lines, SendFrontEnd &frontEnd)
    : m_data(data), m_lines(lines), m_front(frontEnd)
{
}

SendEngine::~SendEngine() = default;

bool SendEngine::lineOpen() const
{
    return m_line && m_line->isOpen();
}

const MessageCenter *SendEngine::selectedCenter() const
{
    const int i = m_front.selectedCenter();
    return i >= 0 && i < m_data.centers.size() ? &m_data.centers[i] : nullptr;
}

void SendEngine::send()
{
    if (!m_busy)
        run();
}

// One press, and with automatic sending the presses it schedules, each after the
// stage before has finished.
QCoro::Task<> SendEngine::run()
{
    m_busy = true;
    // A co_await stays out of conditions and out of "co_return co_await": GCC 12 builds
    // both wrongly (the awaiting frame is resumed after it is gone).
    bool goOn = true;
    while (goOn)
        goOn = co_await press();
    m_busy = false;
    if (m_answerLimitMs >= 0)
        endUnattended();
    emit settled();
}

void SendEngine::setUnattended(qint64 answerLimitMs)
{
    m_answerLimitMs = qMax<qint64>(0, answerLimitMs);
}

void SendEngine::abandon(const QString &reason)
{
    if (m_reported)
        return;
    m_abandoned = reason;
    try {
        hangUp();
    } catch (const AppError &) {
        // The device failed at its hang-up: the call is over all the same.
    }
    if (!m_busy && m_answerLimitMs >= 0)
        endUnattended();
}

// The end of an unattended send: a call stopped with the line open (nobody will press
// on) is hung up, and the outcome is told, once.
void SendEngine::endUnattended()
{
    if (m_reported)
        return;
    if (lineOpen()) {
        m_hangingUp = true;
        try {
            m_line->hangUp();
        } catch (const AppError &) {
            // Gone while hanging up: closed all the same.
        }
        m_hangingUp = false;
        m_inCall = false;
        m_front.callEnded();
    }
    m_reported = true;
    SendOutcome outcome;
    // A send abandoned once its message has gone out (in the wait before the hang-up)
    // was sent: told as failed, it would be sent a second time.
    if (m_sent)
        outcome = {Failure::None, {}};
    else if (!m_abandoned.isEmpty())
        outcome = {Failure::Stopped, m_abandoned};
    else if (!m_outcome.text.isEmpty())
        outcome = m_outcome;
    else
        outcome = {Failure::CallFailed, m_dropped.isEmpty() ? QStringLiteral("回線が切れました。") : m_dropped};
    logOutcome(outcome.failure == Failure::None ? QStringLiteral("end: sent")
                                                : QStringLiteral("end: failed: ") + outcome.text);
    m_front.ended(outcome);
}

void SendEngine::logStage(const QString &name)
{
    if (LineLog *log = m_line ? m_line->log() : nullptr)
        log->stage(name);
}

void SendEngine::logOutcome(const QString &text)
{
    if (LineLog *log = m_line ? m_line->log() : nullptr)
        log->outcome(text);
}

// True when automatic sending goes on to the next stage.
QCoro::Task<bool> SendEngine::press()
{
    const MessageCenter *selected = selectedCenter();
    if (!selected) {
        refuse(Refusal::NoCenter);
        co_return false;
    }
    // A copy: the stage outlives the waits, during which the lists could change.
    const MessageCenter center = *selected;
    bool goOn = false;
    try {
        goOn = co_await performStage(center);
    } catch (const AppError &error) {
        if (!lineOpen())
            m_inCall = false; // the line did not open, or it is gone
        if (error.failure() != Failure::PortNotOpen) {
            logOutcome(QStringLiteral("failed: %1 (%2)").arg(error.description()).arg(error.code()));
            if (m_outcome.text.isEmpty())
                m_outcome = {error.failure(),
                             QStringLiteral("%1（エラー番号 %2）").arg(error.description()).arg(error.code())};
        }
        m_front.failed(error);
    }
    co_return goOn;
}

QCoro::Task<bool> SendEngine::performStage(const MessageCenter &center)
{
    bool goOn = false;
    switch (m_stage) {
    case SendStage::Call:
        goOn = co_await callStage(center);
        break;
    case SendStage::Number:
        goOn = co_await numberStage(center);
        break;
    case SendStage::Mail:
        goOn = co_await mailStage(center);
        break;
    case SendStage::Star:
        goOn = co_await starStage();
        break;
    case SendStage::HangUp:
        hangUpStage();
        break;
    case SendStage::Done:
        advance(SendStage::Call, true);
        goOn = m_answerLimitMs >= 0; // unattended, a send is a whole call
        break;
    }
    co_return goOn;
}

void SendEngine::refuse(Refusal reason, const QString &detail)
{
    if (m_outcome.text.isEmpty())
        m_outcome = {Failure::CallFailed, stagetexts::refusal(reason, detail)};
    m_front.refused(reason, detail);
}

void SendEngine::startStage(SendStage stage)
{
    logStage(stagetexts::name(stage));
    m_front.stageStarted(stage);
}

void SendEngine::advance(SendStage stage, bool afterSend)
{
    m_front.nextStage(stage, afterSend);
    m_stage = stage;
}

void SendEngine::finishStage()
{
    m_front.stageFinished();
}

void SendEngine::takeLine()
{
    if (m_line)
        m_line->disconnect(this);
    m_line = &m_lines.line(m_data.settings.ModemKind);
    m_line->setAnswerLimit(m_answerLimitMs); // negative: a person is there
    connect(m_line, &Line::noCarrier, this, &SendEngine::lineDropped);
    // The device went away in the middle of a call (a cable pulled): a dropped line, so
    // the front end does not stay with its buttons disabled.
    connect(m_line, &Line::closed, this, [this] {
        if (m_inCall && !m_hangingUp)
            lineDropped();
    });
}

// The number to key, or empty after the refusal is shown: a number with a character
// that cannot be keyed is never dialled in part.
QString SendEngine::keyedNumber(const QString &typed, bool center, const QString &name)
{
    const dialnumber::Kind kind = !center                                              ? dialnumber::Kind::Recipient
                                  : deviceRules(m_data.settings.ModemKind).dialsWithAt ? dialnumber::Kind::AtCenter
                                                                                       : dialnumber::Kind::Keyed;
    const dialnumber::Number number = dialnumber::normalized(typed, kind);
    if (!number.ok())
        refuse(Refusal::BadNumber,
               (center ? QStringLiteral("センター「%1」の") : QStringLiteral("相手先「%1」の")).arg(name) +
                   number.problem);
    return number.digits;
}

QCoro::Task<bool> SendEngine::callStage(const MessageCenter &center)
{
    // Both numbers are checked before the call: a recipient's that cannot be keyed is
    // known before anyone is rung.
    const QString number = keyedNumber(center.number, true, center.name);
    if (number.isEmpty())
        co_return false;
    if (const int r = m_front.selectedRecipient(); r >= 0 && r < m_data.recipients.size()) {
        const Recipient &recipient = m_data.recipients[r];
        if (keyedNumber(recipient.number, false, recipient.name).isEmpty())
            co_return false;
    }
    m_inCall = true;
    takeLine();
    if (LineLog *log = m_line->log())
        log->beginCall(m_line->name());
    if (m_answerLimitMs >= 0) {
        m_sent = m_reported = false;
        m_outcome = {};
        m_dropped.clear();
        m_abandoned.clear();
    }
    startStage(SendStage::Call);
    co_await m_line->call(number);
    advance(SendStage::Number);
    const bool goOn = co_await awaitNextStage(center.waitBeforeNumber);
    finishStage();
    // Sending the centre call again is no stage of its own.
    if (m_stage == SendStage::Number)
        m_front.sendAgainAllowed(false);
    co_return goOn;
}

QCoro::Task<bool> SendEngine::numberStage(const MessageCenter &center)
{
    const int r = m_front.selectedRecipient();
    if (r < 0 || r >= m_data.recipients.size()) {
        refuse(Refusal::NoRecipient);
        co_return false;
    }
    const QString number = keyedNumber(m_data.recipients[r].number, false, m_data.recipients[r].name);
    if (number.isEmpty())
        co_return false;
    const CenterRules &rules = centerRules(center.kind);
    startStage(SendStage::Number);
    if (*rules.serviceKey) {
        co_await m_line->dial(QString::fromLatin1(rules.serviceKey));
        co_await m_line->pause(1);
        co_await m_line->awaitOk(0);
    }
    if (rules.starStage) {
        co_await m_line->dial(QStringLiteral("#"));
        co_await m_line->awaitOk(0);
    }
    co_await m_line->dial(number + QLatin1Char('#'));
    advance(SendStage::Mail);
    const bool goOn = co_await awaitNextStage(center.waitBeforeMail);
    finishStage();
    co_return goOn;
}

QCoro::Task<bool> SendEngine::mailStage(const MessageCenter &center)
{
    startStage(SendStage::Mail);
    QString text = m_front.mailText();
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    // A piece of no characters would never finish the message.
    const int step = qMax<int>(1, m_data.settings.SendStrings);
    const QStringList pieces = messagePieces(text, step);
    const int total = int(text.size() + text.count(QLatin1Char('\n'))); // a line break is CR LF
    int remaining = total;
    m_front.progress(Progress::Begun, remaining, total);
    for (const QString &piece : pieces) {
        co_await m_line->dial(piece);
        co_await m_line->awaitOk(m_data.settings.MailInterval);
        remaining -= step;
        m_front.progress(Progress::Piece, remaining, total);
    }
    m_front.progress(Progress::DataSent, remaining, total);
    co_await m_line->dial(endMark(center.kind));
    m_front.progress(Progress::EndSent, remaining, total);
    advance(centerRules(center.kind).starStage ? SendStage::Star : SendStage::HangUp);
    m_front.progress(Progress::LineCut, remaining, total);
    const bool goOn = co_await awaitNextStage(center.waitBeforeHangUp);
    finishStage();
    co_return goOn;
}

QCoro::Task<bool> SendEngine::starStage()
{
    startStage(SendStage::Star);
    co_await m_line->dial(QStringLiteral("*"));
    advance(SendStage::HangUp);
    const bool goOn = co_await awaitNextStage(StarToHangUpSeconds);
    finishStage();
    co_return goOn;
}

void SendEngine::hangUpStage()
{
    hangUp();
    advance(SendStage::Done);
}

// After a stage's writes: the device's "OK", then, with automatic sending, the centre's
// wait before the next stage. True when the next stage is to run.
QCoro::Task<bool> SendEngine::awaitNextStage(double delay)
{
    if (m_answerLimitMs >= 0) {
        // Nobody to press on: the device's "OK" (where answers are looked at), the
        // centre's wait, and on.
        if (lineOpen() && m_data.settings.OkCheckNo != 1)
            co_await m_line->awaitOk(0);
        if (!lineOpen())
            co_return false;
        m_front.waitingForNextStage();
        co_await m_line->pause(delay);
        co_return lineOpen();
    }
    if (!lineOpen() || m_data.settings.OkCheckNo == 1)
        co_return false;
    co_await m_line->awaitOk(0);
    if (m_stage == SendStage::Call || delay == 0 || m_data.settings.AutoTransmit == 0) {
        // Only while the call is still open: after a hang-up there is nothing to send again.
        if (m_stage != SendStage::Call && lineOpen())
            m_front.sendAgainAllowed(true);
        co_return false;
    }
    m_front.sendAgainAllowed(false);
    m_front.waitingForNextStage();
    co_await m_line->pause(delay);
    co_return lineOpen();
}

void SendEngine::sendAgain()
{
    if (m_busy || !lineOpen() || m_stage < SendStage::Number || m_stage > SendStage::HangUp)
        return;
    SendStage again = SendStage(int(m_stage) - 1);
    const MessageCenter *center = selectedCenter();
    if (m_stage == SendStage::HangUp && center && !centerRules(center->kind).starStage)
        again = SendStage::Mail;
    m_stage = again;
    send();
}

void SendEngine::hangUp()
{
    // At the hang-up stage the message has gone out: it is recorded however the call ends,
    // by the hang-up button, "NO CARRIER" or the device going away.
    if (m_stage == SendStage::HangUp && (m_inCall || lineOpen())) {
        m_sent = true;
        logOutcome(QStringLiteral("sent"));
        m_front.sent();
    }
    if (lineOpen()) {
        logStage(stagetexts::name(SendStage::HangUp));
        m_front.lineStatus(LineStatus::HungUp);
        m_hangingUp = true;
        try {
            m_line->hangUp();
        } catch (const AppError &error) {
            // The device went away while hanging up: the line is closed all the same.
            if (error.failure() != Failure::PortNotOpen) {
                m_hangingUp = false;
                throw;
            }
        }
        m_hangingUp = false;
    }
    m_inCall = false;
    m_front.callEnded();
    advance(SendStage::Call);
}

void SendEngine::hangUpForExit()
{
    try {
        m_lines.line(m_data.settings.ModemKind).hangUpForExit();
    } catch (const AppError &) {
        // A device that went away must not keep the settings and history from being saved.
    }
}

bool SendEngine::lineEnding() const
{
    try {
        return m_lines.line(m_data.settings.ModemKind).releasing();
    } catch (const AppError &) {
        return false;
    }
}

void SendEngine::whenLineEnded(QObject *context, std::function<void()> done)
{
    Line *line = nullptr;
    try {
        line = &m_lines.line(m_data.settings.ModemKind);
    } catch (const AppError &) {
    }
    if (!line || !line->releasing()) {
        done();
        return;
    }
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(line, &Line::released, context, [once, done = std::move(done)] {
        QObject::disconnect(*once);
        done();
    });
}

// "NO CARRIER" or a vanished device: the same hang-up, but the line is shown as dropped.
void SendEngine::lineDropped()
{
    logOutcome(QStringLiteral("dropped"));
    m_dropped = stagetexts::lineStatus(LineStatus::Dropped);
    hangUp();
    m_front.lineStatus(LineStatus::Dropped);
}
