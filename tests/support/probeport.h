#pragma once

#include "modem/serialport.h"
#include "modem/waiter.h"
#include "store/apperror.h"

#include <QList>
#include <QMap>
#include <functional>

// A serial port for detection tests: every port number can be absent, held by another
// program, silent, or answer each write with scripted chunks at chosen virtual times.
class ProbePort : public SerialPort
{
public:
    struct Chunk {
        qint64 afterMs;
        QByteArray bytes;
    };
    enum Kind { Missing, InUse, Present, Failing }; // Failing: opens, then every write fails
    struct Device {
        Kind kind = Missing;
        QList<Chunk> answer; // sent after each write, timed from the write
    };

    QMap<int, Device> devices; // numbers not listed are missing
    QList<QByteArray> written;
    QList<int> opened;
    qint64 *clock = nullptr; // the waiter's virtual time, for timing the answers

    void setPortNumber(int number) override { m_number = number; }
    int portNumber() const override { return m_number; }
    void setSettings(const QString &s) override { m_settings = s; }
    QString settings() const override { return m_settings; }
    void setInputMode(InputMode mode) override { m_mode = mode; }
    InputMode inputMode() const override { return m_mode; }
    void setPortOpen(bool open) override
    {
        if (!open) {
            if (m_open)
                emit closed();
            m_open = false;
            return;
        }
        const Device device = devices.value(m_number);
        if (device.kind == Missing)
            throw AppError(ErrorCode::BadPortNumber, "MSComm", "Invalid Port Number");
        if (device.kind == InUse)
            throw AppError(ErrorCode::PortInUse, "MSComm", "Port already open");
        m_open = true;
        opened << m_number;
        m_pending.clear();
    }
    bool isOpen() const override { return m_open; }
    void output(const QByteArray &bytes) override
    {
        if (!m_open)
            throw AppError(ErrorCode::PortNotOpen, "MSComm", "Port not open");
        if (devices.value(m_number).kind == Failing)
            throw AppError(8010, "MSComm", "The device is not available");
        written << bytes;
        for (const Chunk &c : devices.value(m_number).answer)
            m_pending << Chunk{*clock + c.afterMs, c.bytes};
    }
    QByteArray input() override
    {
        QByteArray out;
        while (m_open && !m_pending.isEmpty() && m_pending.first().afterMs <= *clock)
            out += m_pending.takeFirst().bytes;
        return out;
    }
    // The time the next chunk is due, or -1.
    qint64 nextDue() const { return m_open && !m_pending.isEmpty() ? m_pending.first().afterMs : -1; }

private:
    int m_number = 1;
    QString m_settings;
    InputMode m_mode = Binary;
    bool m_open = false;
    QList<Chunk> m_pending;
};

// Virtual time: a wait jumps from one due chunk to the next and never sleeps.
class ProbeWaiter : public Waiter
{
public:
    qint64 clock = 0;
    QList<qint64> waits;              // the timeouts asked for
    std::function<void()> duringWait; // a user action inside each wait, before time runs
    qint64 now() const override { return clock; }
    void waitFor(SerialPort *port, qint64 timeoutMs, const std::function<bool()> &done) override
    {
        waits << timeoutMs;
        if (duringWait)
            duringWait();
        auto *probe = static_cast<ProbePort *>(port);
        const qint64 deadline = clock + timeoutMs;
        while (!done() && port->isOpen()) {
            const qint64 due = probe->nextDue();
            if (due < 0 || due > deadline) {
                clock = deadline;
                return;
            }
            clock = qMax(clock, due);
        }
    }
};
