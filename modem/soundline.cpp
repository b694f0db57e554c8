#include "modem/soundline.h"

#include "modem/linelog.h"
#include "modem/sendfrontend.h"
#include "store/appdata.h"
#include "store/apperror.h"

namespace
{
const QString Source = QStringLiteral("ToneDialer");
}

SoundLine::SoundLine(const Settings &settings, Waiter &waiter, SendFrontEnd &frontEnd, QObject *parent)
    : Line(waiter, parent), m_settings(settings), m_front(frontEnd)
{
    connect(&m_dialer, &ToneDialer::finished, this, &WaitSource::readyRead);
    connect(&m_dialer, &ToneDialer::failed, this, [this](const QString &problem) {
        m_failure = problem;
        emit readyRead();
    });
}

void SoundLine::ensureOpen() const
{
    if (!m_open)
        throw AppError(Failure::PortNotOpen, Source, QStringLiteral("回線が切られています。"));
}

QCoro::Task<> SoundLine::call(const QString &number)
{
    // The audio output is made ready before the question, so the first tone follows the
    // answer at once; a machine without one fails here.
    QString error;
    if (!m_dialer.prepare(&error))
        throw AppError(Failure::AudioOutput, Source, error);
    m_open = true;
    m_answer.reset();
    const int asked = ++m_asked;
    m_front.askToHoldPhone([this, asked](bool playNumber) {
        if (asked != m_asked)
            return;
        m_answer = playNumber;
        emit readyRead();
    });
    co_await m_waiter.wait(this, -1, [this] { return m_answer.has_value(); });
    ensureOpen();
    if (m_log)
        m_log->event(*m_answer ? QStringLiteral("the number is played") : QStringLiteral("dialled by hand"));
    if (!*m_answer)
        co_return;
    if (m_settings.OutsideOn == 1 && !m_settings.OutSide.isEmpty()) {
        co_await play(m_settings.OutSide);
        co_await pause(OutsideLinePause);
    }
    co_await play(number);
}

QCoro::Task<> SoundLine::dial(const QString &digits)
{
    co_await play(digits);
}

// Plays the keys and returns once they have been heard.
QCoro::Task<> SoundLine::play(const QString &keys)
{
    ensureOpen();
    QString error;
    m_failure.clear();
    if (m_log)
        m_log->event(QStringLiteral("play ") + keys);
    if (!m_dialer.play(keys, m_settings.ToneLength, m_settings.ToneGap, &error))
        throw AppError(Failure::AudioOutput, Source, error);
    co_await m_waiter.wait(this, -1, [this] { return !m_dialer.isPlaying(); });
    if (m_log)
        m_log->event(m_failure.isEmpty() ? QStringLiteral("played") : QStringLiteral("failed: ") + m_failure);
    if (!m_failure.isEmpty()) {
        // The sound is gone in the middle of the call: the call is over.
        hangUp();
        throw AppError(Failure::AudioOutput, Source, m_failure);
    }
    ensureOpen();
}

QCoro::Task<> SoundLine::awaitOk(double seconds)
{
    co_await pause(seconds);
}

void SoundLine::hangUp()
{
    m_dialer.stop();
    ++m_asked;
    if (!m_open)
        return;
    m_open = false;
    if (m_log)
        m_log->event(QStringLiteral("hang up"));
    emit closed();
}
