#pragma once

#include "modem/serialport.h"
#include "store/locks.h"

#include <memory>

// A port that holds the line's PortLock while it is open, so that the window and
// fumidori-send never use one line at once: opening a line another program holds
// fails with 8005, as a port in use does (a queue runner's check of the line is waited
// for, PortLock::CheckWaitMs at most). Everything else goes to the port inside.
class LockedPort : public SerialPort
{
    Q_OBJECT
public:
    LockedPort(SerialPort &port, QString dataFolder, QObject *parent = nullptr);
    ~LockedPort() override;

    // The lock file of COM n (or of device, when given) in the data folder: named after
    // the device it reaches.
    static QString lockPath(const QString &dataFolder, int number, const QString &device = {});
    // The device COM n (or device) reaches, links resolved; the link itself when it leads
    // nowhere.
    static QString devicePath(const QString &dataFolder, int number, const QString &device = {});

    void setPortNumber(int number) override { m_port.setPortNumber(number); }
    int portNumber() const override { return m_port.portNumber(); }
    void setSettings(const QString &settings) override { m_port.setSettings(settings); }
    QString settings() const override { return m_port.settings(); }
    void setPortOpen(bool open) override;
    bool isOpen() const override { return m_port.isOpen(); }
    void output(const QByteArray &bytes) override { m_port.output(bytes); }
    QByteArray input() override { return m_port.input(); }
    QString device() const override { return m_port.device(); }

private:
    SerialPort &m_port;
    QString m_folder;
    std::unique_ptr<PortLock> m_lock;
};
