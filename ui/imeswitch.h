#pragma once

#include <QObject>
#include <QString>

class QDBusConnection;
class QDBusMessage;
class QWidget;

// Switches the desktop's Japanese input on whenever a text box gains the focus, for the
// "IME" setting's mode 1. It asks whichever input method is running, over D-Bus and never
// waiting for the answer: Fcitx 5 through its controller on the session bus (Activate), IBus
// through its own bus by making a Japanese engine current (the one in use if it is one, else
// the first of mozc-jp, anthy and kkc that IBus has). No input method is ever started: the
// calls do not ask the bus to start services, so with none running nothing happens.
class ImeSwitch : public QObject
{
    Q_OBJECT
public:
    enum class Outcome { Switched, AlreadyOn, Absent, NoAnswer, Failed };
    Q_ENUM(Outcome)

    // Watches box's focus; the switch is off until setEnabled(true).
    explicit ImeSwitch(QWidget *box);

    // On at once if the box has the focus now, as the options dialog's OK expects.
    void setEnabled(bool on);
    bool isEnabled() const { return m_enabled; }

    // Asks the running input methods to switch Japanese input on. Returns at once.
    void switchOn();

    // How long an input method may take to answer one call.
    static constexpr int answerTimeoutMs = 200;

signals:
    // One per input method asked ("fcitx5", "ibus"), when its answer, or the lack of one, is in.
    void finished(const QString &inputMethod, ImeSwitch::Outcome outcome);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void activateFcitx(int attempt = 0);
    void checkFcitx(const QDBusConnection &bus, int attempt);
    void switchIbus();
    void chooseIbusEngine(const QDBusConnection &bus);
    // Reports an error answer as the input method's outcome.
    bool failed(const QString &inputMethod, const QDBusMessage &reply);

    QWidget *m_box;
    bool m_enabled = false;
};
