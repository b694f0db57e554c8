#include "modem/sendengine.h"

#include "encoding/centerkind.h"
#include "encoding/codetable.h"
#include "modem/line.h"
#include "store/appdata.h"
#include "store/apperror.h"

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
    emit settled();
}

// True when automatic sending goes on to the next stage.
QCoro::Task<bool> SendEngine::press()
{
    const MessageCenter *selected = selectedCenter();
    if (!selected) {
        m_front.refused(Refusal::NoCenter);
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
        break;
    }
    co_return goOn;
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
    connect(m_line, &Line::noCarrier, this, &SendEngine::lineDropped);
    // The device went away in the middle of a call (a cable pulled): a dropped line, so
    // the front end does not stay with its buttons disabled.
    connect(m_line, &Line::closed, this, [this] {
        if (m_inCall && !m_hangingUp)
            lineDropped();
    });
}

QCoro::Task<bool> SendEngine::callStage(const MessageCenter &center)
{
    m_front.stageStarted(SendStage::Call);
    m_inCall = true;
    takeLine();
    co_await m_line->call(center.number);
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
        m_front.refused(Refusal::NoRecipient);
        co_return false;
    }
    const QString number = m_data.recipients[r].number;
    const CenterRules &rules = centerRules(center.kind);
    m_front.stageStarted(SendStage::Number);
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
    m_front.stageStarted(SendStage::Mail);
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
    m_front.stageStarted(SendStage::Star);
    co_await m_line->dial(QStringLiteral("*"));
    advance(SendStage::HangUp);
    const bool goOn = co_await awaitNextStage(6);
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
    if (m_stage == SendStage::HangUp && (m_inCall || lineOpen()))
        m_front.sent();
    if (lineOpen()) {
        m_front.lineStatus(LineStatus::HungUp);
        m_hangingUp = true;
        try {
            m_line->hangUp();
        } catch (const AppError &error) {
            // The device went away while hanging up: the line is closed all the same.
            if (error.code() != ErrorCode::PortNotOpen) {
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
        return m_lines.line(m_data.settings.ModemKind).isEnding();
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
    if (!line || !line->isEnding()) {
        done();
        return;
    }
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(line, &Line::finished, context, [once, done = std::move(done)] {
        QObject::disconnect(*once);
        done();
    });
}

// "NO CARRIER" or a vanished device: the same hang-up, but the line is shown as dropped.
void SendEngine::lineDropped()
{
    hangUp();
    m_front.lineStatus(LineStatus::Dropped);
}
