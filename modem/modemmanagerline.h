#pragma once

#include "modem/line.h"
#include "modem/systembus.h"
#include "modem/voicemodems.h"

#include <QPointer>
#include <memory>

struct Settings;

// Device kind 11: a phone module that ModemManager manages, driven over the system bus
// through ModemManager's voice interface, so the module's port (and its data connection)
// stays ModemManager's. The call finds the modem (VoiceModem: its equipment identifier,
// primary port or device; empty: the only one with voice calls), enables it when it is
// disabled, waits until it is registered, creates the call to the centre, starts it and
// waits for it to turn active. Digits go one SendDtmf each (the module keys one digit a
// call, at a length it chooses), ToneGap apart. The hang-up, every failure and the far
// end's hang-up end the call and delete it: a call left behind costs money. While a call
// is up its object path is recorded in the data folder's queue/state/; a call so recorded
// by a run that is gone is hung up at the next call, and nobody else's is touched. Every
// method call, its answer and every signal go to the line log. Failures throw AppError:
// DeviceFailed for the modem, ModemManager, the bus or polkit; CallFailed for busy, no
// answer, no carrier and NoDialtone (which is how ModemManager tells a busy centre).
class ModemManagerLine : public Line
{
    Q_OBJECT
public:
    ModemManagerLine(const Settings &settings, QString dataFolder, Waiter &waiter, QObject *parent = nullptr);
    ~ModemManagerLine() override;

    bool isOpen() const override { return m_open; }
    QCoro::Task<> call(const QString &number) override;
    QCoro::Task<> dial(const QString &digits) override;
    QCoro::Task<> awaitOk(double seconds) override;
    void hangUp() override;
    bool releasing() const override { return m_releasing > 0; }
    QString name() const override { return QStringLiteral("modemmanager"); }
    // The modem found and registered, as a call begins, and nothing more.
    QCoro::Task<> check() override;

    // Uses this bus instead of the plugin's (tests).
    void setBus(SystemBus *bus) { m_bus = bus; }

    // A wait for ModemManager with nobody there to say how long: registering, the call
    // turning active, one answer.
    static constexpr qint64 AttendedLimitMs = 60000;

protected:
    void afterPause() override;

private:
    QCoro::Task<BusReply> request(const QString &path, const QString &interface, const QString &method,
                                  const QVariantList &args, qint64 limitMs);
    QCoro::Task<QString> registeredModem(bool clearLeft);
    QCoro::Task<QString> findModem();
    QCoro::Task<> ensureRegistered(const QString &modem);
    QCoro::Task<> clearLeftCalls();
    // Ends the call and throws DeviceFailed, or CallFailed when the device is not to blame.
    [[noreturn]] void fail(const QString &text, bool deviceFault);
    [[noreturn]] void failReply(const BusReply &reply, const QString &what);
    qint64 limit(qsizetype digits) const;
    void release();
    void dropWatches();
    void watchState(const QString &path, const QString &interface,
                    void (ModemManagerLine::*changed)(const QVariantList &));
    void modemStateChanged(const QVariantList &args);
    void callStateChanged(const QVariantList &args);
    void recordCall();
    void note(const QString &text);
    void noteReply(const QString &method, const BusReply &reply);
    void wake() { emit readyRead(); }
    QString stateFolder() const;
    QString recordName() const;

    const Settings &m_settings;
    QString m_dataFolder;
    SystemBus *m_bus = nullptr;
    bool m_open = false;
    bool m_up = false;      // the call turned active
    int m_generation = 0;   // answers to an earlier call are dropped
    int m_releasing = 0;    // hang-ups and deletions under way
    int m_modemState = 0;   // the modem's state, as its last StateChanged told
    int m_modemSignals = 0; // StateChanged signals of the modem so far
    int m_callState = 0;    // the call's
    uint m_callReason = 0;  // why the call's state last changed
    QString m_owner;        // ModemManager's unique name on the bus
    QString m_call;         // the call's object path while it exists
    QString m_modem;        // the modem's object path
    QString m_dropped;      // the far end ended the call: not yet thrown
    QList<int> m_watches;
};
