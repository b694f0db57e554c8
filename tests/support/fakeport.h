#pragma once

#include "modem/serialport.h"

#include <QByteArrayList>
#include <QStringList>
#include <functional>

// A serial port for unit tests: records every write and every open and close in
// one transcript, answers through a script hook, and counts the reads that found data.
class FakePort : public SerialPort
{
    Q_OBJECT
public:
    using SerialPort::SerialPort;

    QByteArrayList writes; // every output(), in order
    QStringList events;    // "open <settings>", "drain", "close", and every write as "> <bytes>"
    int nonEmptyReads = 0; // input() calls that returned something
    int failOpenWith = 0;  // when set, opening throws AppError with this code
    // Called after every write; tests use it to schedule the device's answers.
    std::function<void(const QByteArray &)> onWrite;

    // Bytes from the device: kept for input() and announced with readyRead (dropped when closed).
    void receive(const QByteArray &bytes);
    // The device vanishes: closed without our doing, with the closed signal.
    void vanish();
    // All writes joined, for comparing a whole call.
    QByteArray written() const { return writes.join(); }

    void setPortNumber(int number) override { m_number = number; }
    int portNumber() const override { return m_number; }
    void setSettings(const QString &settings) override { m_settings = settings; }
    QString settings() const override { return m_settings; }
    void setPortOpen(bool open) override;
    bool isOpen() const override { return m_open; }
    void output(const QByteArray &bytes) override;
    void drain() override;
    QByteArray input() override;

private:
    int m_number = 1;
    QString m_settings = QStringLiteral("9600,n,8,1");
    bool m_open = false;
    QByteArray m_pending;
};
