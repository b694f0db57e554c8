#pragma once

#include "modem/serialport.h"

#include <QString>

class QSerialPort;

// The serial port over QSerialPort. COM n is the device that <folder>/ports/COMn
// links to, else /dev/ttyS(n-1).
class ComPort : public SerialPort
{
    Q_OBJECT
public:
    explicit ComPort(const QString &programFolder, QObject *parent = nullptr);
    ~ComPort() override;

    // The device path COM n stands for in this program folder; device, when given, in
    // its place.
    static QString devicePath(const QString &programFolder, int number, const QString &device = {});
    // A device path to open in place of COM n's (a line of the queue that names one).
    void setDevice(const QString &device) { m_device = device; }

    void setPortNumber(int number) override;
    int portNumber() const override { return m_number; }
    void setSettings(const QString &settings) override;
    QString settings() const override { return m_settings; }
    void setPortOpen(bool open) override;
    bool isOpen() const override;
    void output(const QByteArray &bytes) override;
    void drain() override;
    QByteArray input() override;
    QString device() const override;
    QString deviceText() const override;

private:
    void applySettings();
    QString describe() const;
    void closePort(bool notify);

    QString m_folder;
    int m_number = 1;
    QString m_device;
    QString m_settings = QStringLiteral("9600,n,8,1");
    QSerialPort *m_port = nullptr;
    QString m_openedText; // deviceText() as it was when the port opened
};
