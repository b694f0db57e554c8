#include "gateway/messagesend.h"

#include "gateway/decisions.h"
#include "gateway/reporter.h"
#include "modem/baresipconfig.h"
#include "modem/devicekind.h"
#include "modem/lockedport.h"
#include "store/filestore.h"
#include "store/historyfile.h"
#include "store/locks.h"
#include "store/passwordstore.h"
#include "store/settingsfile.h"

#include <QPointer>
#include <QTimer>

MessageSend::MessageSend(QString folder, Target target, QString text, Reporter &reporter, DriverFactory factory,
                         QObject *parent)
    : QObject(parent), m_folder(std::move(folder)), m_target(std::move(target)), m_text(std::move(text)),
      m_reporter(reporter), m_factory(std::move(factory))
{
}

MessageSend::~MessageSend() = default;

void MessageSend::start()
{
    auto prepared = prepare(m_folder, m_target, m_text, m_access);
    if (auto *refusal = std::get_if<Outcome>(&prepared)) {
        finish(*refusal);
        return;
    }
    m_prepared = std::make_unique<Prepared>(std::get<Prepared>(std::move(prepared)));
    m_sentText = m_prepared->text;
    // A device without a serial port has nothing to lock; one that registers with an
    // account has its password read first.
    const DeviceKindRow *kind = deviceKind(m_prepared->data.settings.ModemKind);
    if (kind && !kind->usesPort) {
        if (kind->usesAccount)
            readSipPassword();
        else
            call();
        return;
    }
    const int port = m_prepared->data.settings.PortNumber;
    m_lockPath = LockedPort::lockPath(m_folder, port, m_access.device);
    m_device = LockedPort::devicePath(m_folder, port, m_access.device);
    m_lock = std::make_unique<PortLock>(m_lockPath);
    // Another program's lock on the device is looked at before ours is taken: a line
    // held either way costs no try.
    const DeviceLock device = DeviceLock::check(m_device);
    if (device.isFree() && m_lock->tryLock()) {
        call();
        return;
    }
    const bool lasting = device.isFree() ? m_lock->problemLasts() : device.lasts();
    const QString busy = QStringLiteral("ポート %1 は使用中です。").arg(portName(port)) +
                         (device.isFree() ? m_lock->busyText() : device.text);
    // A lock file that cannot be used never comes free by waiting: busy at once.
    if (device.isFree() && m_lock->isUnusable()) {
        finish({Failure::Held, unusableLine(port)});
        return;
    }
    if (m_lineWaitMs == 0 || lasting) {
        finish({Failure::Held,
                busy + (lasting ? QStringLiteral("ロックファイルを確かめ、必要なら管理者に消してもらってください。")
                                : QStringLiteral("空くまで待つには --wait 秒数 を付けてください。"))});
        return;
    }
    m_reporter.note(QStringLiteral("waiting"), busy + QStringLiteral("空くのを待っています。"),
                    {{QStringLiteral("port"), port}});
    m_waiter = new PortLockWaiter(*m_lock, m_device, this);
    connect(m_waiter, &PortLockWaiter::acquired, this, [this] {
        m_waitLimit.reset();
        call();
    });
    // The waiter keeps no time here: the wait ends at once for an unusable lock file, or
    // from a timer of the clock.
    connect(m_waiter, &PortLockWaiter::timedOut, this, [this, port] { lineWaitEnded(port); });
    if (m_lineWaitMs > 0) {
        m_waitLimit = m_clock->timer([this, port] { lineWaitEnded(port); });
        m_waitLimit->start(m_lineWaitMs);
    }
    m_waiter->start(-1);
}

void MessageSend::lineWaitEnded(int port)
{
    if (m_lock->isUnusable())
        finish({Failure::Held, unusableLine(port)});
    else
        finish({Failure::Held, QStringLiteral("ポート %1 は使用中です。").arg(portName(port)) + m_waiter->busyText() +
                                   QStringLiteral("待ち時間内に空きませんでした。あとで送り直すか、queue add "
                                                  "でキューに入れてください。")});
}

QString MessageSend::lockPath() const
{
    return m_lockPath;
}

QString MessageSend::device() const
{
    return m_device;
}

QString MessageSend::portName(int port) const
{
    return m_access.device.isEmpty() ? QStringLiteral("COM%1").arg(port) : m_access.device;
}

QString MessageSend::unusableLine(int port) const
{
    return QStringLiteral("ポート %1 を使えません。").arg(portName(port)) + m_lock->busyText() +
           QStringLiteral("ロックファイルを確かめ、必要なら管理者に消してもらってください。");
}

// The SIP account's password before the call: the file's when one was given, else the
// keyring's (none stored there: the call goes without registering, as from the window).
// Without a keyring to ask (cron, a server) the message is refused, not tried again:
// the password has to come from a file there.
void MessageSend::readSipPassword()
{
    const Settings &s = m_prepared->data.settings;
    if (!m_access.sipPasswordFile.isEmpty() || s.SipServer.trimmed().isEmpty()) {
        callSip(m_access.sipPassword);
        return;
    }
    m_keyring = std::make_unique<KeyringPasswords>();
    m_keyring->readPassword(sipPasswordKey(s.SipUser, s.SipServer),
                            [self = QPointer<MessageSend>(this)](const QString &password, const QString &error) {
                                if (self)
                                    self->sipPasswordRead(password, error);
                            });
}

void MessageSend::sipPasswordRead(const QString &password, QString error)
{
    if (m_finished)
        return;
    if (!error.isEmpty()) {
        if (!error.endsWith(u'。'))
            error += u'。';
        finish({Failure::Refused,
                error + QStringLiteral(
                            "キーリングの動いていない所（cron など）からは、--sip-password-file "
                            "でパスワードのファイルを渡してください（パスワードのない口座なら空のファイル）。")});
        return;
    }
    callSip(password);
}

// Settings the engine cannot take are refused before the call: trying again cannot help.
void MessageSend::callSip(const QString &password)
{
    const Settings &s = m_prepared->data.settings;
    const QString problem = baresip::checkAccount(s.SipUser, s.SipServer, password, s.SipProxy);
    if (!problem.isEmpty()) {
        finish({Failure::Refused, problem});
        return;
    }
    m_sipPassword = password;
    call();
}

void MessageSend::call()
{
    if (m_finished)
        return;
    m_driver = m_factory();
    connect(m_driver.get(), &CallDriver::stageChanged, this,
            [this](const QString &stage, const QString &text) { m_reporter.stage(stage, text, m_access.line); });
    connect(m_driver.get(), &CallDriver::progress, this,
            [this](int remaining, int total) { m_reporter.progress(remaining, total, m_access.line); });
    connect(m_driver.get(), &CallDriver::finished, this, &MessageSend::callEnded);
    const Prepared &p = *m_prepared;
    // The line's lock, when it has one, is held here from before the call to its end:
    // the driver opens the port without taking it again.
    m_driver->start({m_folder, p.data.settings, p.center, p.number, p.text, m_sipPassword, m_access.device,
                     m_access.answerLimitMs, m_access.trace});
}

void MessageSend::callEnded(Failure failure, const QString &message)
{
    if (failure != Failure::None) {
        finish({failure, message});
        return;
    }
    Outcome outcome{Failure::None, QStringLiteral("送信しました。")};
    if (auto problem = !m_recordHistory
                           ? std::nullopt
                           : recordSent(m_folder, m_prepared->recipientName, m_prepared->center.name, m_prepared->text))
        outcome.message += QStringLiteral("ただし送信履歴に記録できませんでした: ") + *problem;
    finish(outcome);
}

void MessageSend::abort()
{
    if (m_finished)
        return;
    m_aborted = true;
    if (m_driver) {
        m_driver->abort();
        return;
    }
    finish({Failure::Stopped, QStringLiteral("送信の前に止めました。")});
}

void MessageSend::finish(Outcome outcome)
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_waiter)
        m_waiter->cancel();
    if (m_waitLimit)
        m_waitLimit->stop();
    if (m_prepared) {
        outcome.recipient = m_prepared->recipientName;
        outcome.center = m_prepared->center.name;
    }
    // The line is free for others from here; the driver has closed the port.
    QTimer::singleShot(0, this, [this, outcome] {
        m_lock.reset();
        emit done(outcome);
    });
}

RetriedSend::RetriedSend(TryFactory factory, QString text, int attempts, QList<int> delays, Reporter &reporter,
                         RunnerClock &clock, QObject *parent)
    : QObject(parent), m_factory(std::move(factory)), m_text(std::move(text)), m_attempts(attempts),
      m_delays(std::move(delays)), m_reporter(reporter), m_clock(clock)
{
    m_retry = m_clock.timer([this] { tryOnce(m_next); });
}

RetriedSend::~RetriedSend() = default;

void RetriedSend::tryOnce(int attempt)
{
    m_current = m_factory(this);
    connect(m_current, &MessageSend::done, this, [this, attempt](const Outcome &outcome) {
        const QString sent = m_current->sentText().isEmpty() ? m_text : m_current->sentText();
        const bool interrupted = m_current->interrupted();
        m_current->deleteLater();
        m_current = nullptr;
        // The runner's policy, on one line: another try after the delay while tries are left.
        const qint64 t = m_clock.now();
        const decisions::Decision d = decisions::decide(
            outcome.failure, interrupted ? decisions::LineState::Stopping : decisions::LineState::Calling, false,
            attempt - 1, m_attempts, m_delays, t);
        if (d.step != decisions::Step::Retry) {
            emit finished(outcome, sent, attempt);
            return;
        }
        const qint64 delay = (d.at - t) / 1000;
        m_reporter.note(QStringLiteral("retry"),
                        QStringLiteral("%1 秒後にもう一度送ります（%2）。").arg(delay).arg(outcome.message),
                        {{QStringLiteral("attempt"), attempt}});
        m_next = attempt + 1;
        m_retry->start(delay * 1000);
        emit retrying(t + delay * 1000, outcome, attempt);
    });
    m_current->start();
}

void RetriedSend::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    if (m_current) {
        m_current->abort();
    } else if (m_retry->isActive()) {
        m_retry->stop();
        emit finished({Failure::Stopped, QStringLiteral("やり直しを待つ間に止めました。")}, m_text, m_attempts);
    }
}

std::optional<QString> recordSent(const QString &folder, const QString &recipient, const QString &center,
                                  const QString &text)
{
    const FolderLock lock(folder);
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    if (auto error = LoadSettingsFile(data))
        return error->message();
    if (data.settings.History == 0)
        return std::nullopt;
    data.historyFileName = filestore::existingName(folder, QString::fromLatin1(historyfile::FileName));
    if (filestore::exists(folder, data.historyFileName)) {
        if (auto error = LoadHistoryFile(data))
            return error->message();
    }
    AddHistoryEntry(data, recipient, center, text);
    if (auto error = SaveHistoryKeepingOthers(data))
        return error->message();
    return std::nullopt;
}
