#include "gateway/linecheck.h"

#include "modem/devicekind.h"
#include "modem/lockedport.h"
#include "store/locks.h"
#include "store/passwordstore.h"
#include "store/settingsfile.h"

#include <QPointer>
#include <QTimer>

namespace
{

// The folder's settings with the line's keys; nullopt when they cannot be read.
std::optional<Settings> lineSettings(const QString &folder, const DeviceAccess &access)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    {
        const FolderLock lock(folder, FolderLock::Shared);
        if (!lock.isHeld() || LoadSettingsFile(data))
            return std::nullopt;
    }
    if (settingsfile::applyDeviceKeys(data.settings, access.deviceKeys))
        return std::nullopt;
    return data.settings;
}

} // namespace

LineCheck::LineCheck(QString folder, DeviceAccess access, MessageSend::DriverFactory factory, QObject *parent)
    : QObject(parent), m_folder(std::move(folder)), m_access(std::move(access)), m_factory(std::move(factory))
{
}

LineCheck::~LineCheck() = default;

bool LineCheck::checks(const QString &folder, const DeviceAccess &access)
{
    const std::optional<Settings> s = lineSettings(folder, access);
    return s && deviceRules(s->ModemKind).check != IdleCheck::None && !s->InhibitModemManager;
}

void LineCheck::start()
{
    const std::optional<Settings> s = lineSettings(m_folder, m_access);
    if (!s) {
        finish({Failure::Refused, QStringLiteral("設定ファイルを読めないため、回線を確かめません。")});
        return;
    }
    m_settings = *s;
    const DeviceKindRow &kind = deviceRules(m_settings.ModemKind);
    if (kind.usesPort) {
        const QString device = LockedPort::devicePath(m_folder, m_settings.PortNumber, m_access.device);
        m_lock = std::make_unique<PortLock>(LockedPort::lockPath(m_folder, m_settings.PortNumber, m_access.device));
        if (!DeviceLock::check(device).isFree() || !m_lock->tryLock()) {
            finish({Failure::Held, QStringLiteral("回線はほかのプログラムが使っています。")});
            return;
        }
        m_lock->markCheck();
    }
    // The account's password as a call reads it: the file's, else the keyring's.
    if (!kind.usesAccount || !m_access.sipPasswordFile.isEmpty() || m_settings.SipServer.trimmed().isEmpty()) {
        run(m_access.sipPassword);
        return;
    }
    m_keyring = std::make_unique<KeyringPasswords>();
    m_keyring->readPassword(sipPasswordKey(m_settings.SipUser, m_settings.SipServer),
                            [self = QPointer<LineCheck>(this)](const QString &password, const QString &error) {
                                if (!self)
                                    return;
                                if (error.isEmpty())
                                    self->run(password);
                                else
                                    self->finish({Failure::Refused, error});
                            });
}

void LineCheck::run(const QString &password)
{
    if (m_finished)
        return;
    m_driver = m_factory();
    connect(m_driver.get(), &CallDriver::finished, this, [this](Failure failure, const QString &message) {
        finish({failure, message});
    });
    m_driver->check(
        {m_folder, m_settings, {}, {}, {}, password, m_access.device, m_access.answerLimitMs, m_access.trace});
}

void LineCheck::abort()
{
    if (m_finished)
        return;
    if (m_driver) {
        m_driver->abort();
        return;
    }
    finish({Failure::Stopped, QStringLiteral("確認の前に止めました。")});
}

void LineCheck::finish(const Outcome &outcome)
{
    if (m_finished)
        return;
    m_finished = true;
    // From the event loop: the driver that told it may still be on the stack.
    QTimer::singleShot(0, this, [this, outcome] {
        m_lock.reset();
        emit done(outcome);
    });
}
