#pragma once

#include "modem/line.h"
#include "modem/tonedialer.h"

#include <optional>

struct Settings;
class SendFrontEnd;

// The sound card as a tone dialer (device kind 9): no port, the digits played through
// the default audio output while the user holds the phone to the speaker. The call
// asks the user, through the front end, whether to play the centre's number (a line
// that takes tone dialling dials it) or whether they dialled it themselves. Nothing
// answers "OK": a wait for it is a pause. The hang-up silences the speaker at once.
class SoundLine : public Line
{
    Q_OBJECT
public:
    SoundLine(const Settings &settings, Waiter &waiter, SendFrontEnd &frontEnd, QObject *parent = nullptr);

    bool isOpen() const override { return m_open; }
    QCoro::Task<> call(const QString &number) override;
    QCoro::Task<> dial(const QString &digits) override;
    QCoro::Task<> awaitOk(double seconds) override;
    void hangUp() override;
    QString name() const override { return QStringLiteral("sound"); }

    // Seconds between the outside-line digits and the centre's number, as a modem's ",".
    static constexpr double OutsideLinePause = 2;

private:
    QCoro::Task<> play(const QString &keys);
    void ensureOpen() const;

    const Settings &m_settings;
    SendFrontEnd &m_front;
    ToneDialer m_dialer;
    bool m_open = false;
    std::optional<bool> m_answer; // the user's answer at the call: play the number or not
    int m_asked = 0;              // answers to an older question are dropped
    QString m_failure;            // why the audio output stopped
};
