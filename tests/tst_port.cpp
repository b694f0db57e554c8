// The serial port over real pseudo-terminals.
#include "support/otheruser.h"
#include "support/table.h"

#include "modem/comport.h"
#include "modem/modemline.h"
#include "store/apperror.h"

#include <QDir>
#include <QFile>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace
{

// A pseudo-terminal whose far end is linked as COMn of a program folder.
struct Pty {
    int master = -1;
    int slave = -1;
    QString path;
    Pty()
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = QString::fromLocal8Bit(name);
    }
    ~Pty() { close(); }
    void close()
    {
        for (int *fd : {&master, &slave}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }
    // Everything the master receives within a short time, up to size bytes.
    QByteArray read(int size)
    {
        QByteArray out;
        while (out.size() < size) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                break;
            char buffer[512];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            out.append(buffer, n);
        }
        return out;
    }
};

int codeOf(const std::function<void()> &action)
{
    try {
        action();
    } catch (const AppError &error) {
        return error.code();
    }
    return 0;
}

} // namespace

using BytesThenHangUpBeforeClose = table::Of<int, QString, QByteArray>;
using DeviceTexts = table::Of<QString, QString, QStringList>; // link target, device, named

class tst_Port : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_folder = m_dir.path() + QStringLiteral("/");
        QDir(m_folder).mkpath(QStringLiteral("ports"));
        for (const QString &name : QDir(m_folder + QStringLiteral("ports")).entryList(QDir::System))
            QFile::remove(m_folder + QStringLiteral("ports/") + name);
    }
    // Answers arrive with readyRead; when the device goes away the port closes by itself.
    void answersThenDeviceGoes()
    {
        Pty pty;
        link(1, pty.path);
        ComPort port(m_folder);
        port.setPortOpen(true);
        // The device opened is the one named, whatever becomes of the link meanwhile.
        QVERIFY(QFile::remove(m_folder + "ports/COM1"));
        QVERIFY2(port.deviceText().endsWith(" → " + pty.path), qPrintable(port.deviceText()));
        QSignalSpy ready(&port, &SerialPort::readyRead);
        QSignalSpy closed(&port, &SerialPort::closed);
        QCOMPARE(port.input(), QByteArray()); // never waits
        QCOMPARE(::write(pty.master, "\r\nOK\r\n", 6), 6);
        QVERIFY(ready.wait(2000));
        QByteArray got = port.input();
        while (got.size() < 6 && ready.wait(500))
            got += port.input();
        QCOMPARE(got, QByteArray("\r\nOK\r\n"));

        pty.close(); // only our own end is left on the line
        QVERIFY(closed.wait(2000));
        QVERIFY(!port.isOpen());
        QCOMPARE(codeOf([&] { port.output("AT\r"); }), 8018);
    }
    // What a silent device's message names: the link and its device, the built-in port a
    // number without a link falls back to (and the missing link), or the device given.
    void deviceText_data()
    {
        const DeviceTexts row;
        row("link", "/dev/null", "", {"ports/COM4 → /dev/null"});
        row("no link", "", "", {"/dev/ttyS3", "ports/COM4 というリンクがない"});
        row("dangling link", "/dev/no-such-device", "", {"ports/COM4 → （行き先がありません）"});
        row("device given", "", "/dev/ttyUSB9", {"/dev/ttyUSB9"});
    }
    void deviceText()
    {
        const auto [target, device, named] = DeviceTexts::row();
        if (!target.isEmpty())
            link(4, target);
        ComPort port(m_folder);
        port.setPortNumber(4);
        port.setDevice(device);
        for (const QString &part : named)
            QVERIFY2(port.deviceText().contains(part), qPrintable(port.deviceText()));
    }
    void missingDevice_data()
    {
        QTest::addColumn<QString>("target"); // empty: no link, so /dev/ttyS(n-1)
        QTest::newRow("dangling link") << "/dev/no-such-device";
        QTest::newRow("no link, no ttyS") << "";
    }
    void missingDevice()
    {
        QFETCH(QString, target);
        if (!target.isEmpty())
            link(7, target);
        else if (QFile::exists(QStringLiteral("/dev/ttyS254")))
            QSKIP("this machine has a /dev/ttyS254");
        ComPort port(m_folder);
        port.setPortNumber(target.isEmpty() ? 255 : 7);
        QCOMPARE(codeOf([&] { port.setPortOpen(true); }), 8002);
        QVERIFY(!port.isOpen());
        QCOMPARE(codeOf([&] { port.output("ATH\r"); }), 8018);
        QCOMPARE(codeOf([&] { port.setPortNumber(0); }), 8002);
    }
    void heldByAnother()
    {
        Pty pty;
        link(2, pty.path);
        ComPort first(m_folder);
        first.setPortNumber(2);
        first.setPortOpen(true);
        ComPort second(m_folder);
        second.setPortNumber(2);
        QCOMPARE(codeOf([&] { second.setPortOpen(true); }), 8005);
        first.setPortOpen(false);
        // Another program holding the device under its own name.
        QSerialPort other(pty.path);
        QVERIFY(other.open(QIODevice::ReadWrite));
        QCOMPARE(codeOf([&] { second.setPortOpen(true); }), 8005);
        other.close();
        second.setPortOpen(true);
        QVERIFY(second.isOpen());
    }
    // A device the user may not open is not "in use": it gets its own code and advice naming the
    // device. Root may open anything, so a child drops to an unprivileged user for the attempt.
    void refusedIsNotInUse()
    {
        Pty pty;
        link(4, pty.path);
        const std::optional<otheruser::Ids> nobody = otheruser::nobody();
        if (!nobody)
            QSKIP("needs root and the user nobody to try an open that is refused");
        QVERIFY(
            QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) | QFile::ExeOther | QFile::ReadOther));
        const QString text =
            QString::fromUtf8(otheruser::asUser(*nobody, [&] {
                                  ComPort port(m_folder);
                                  port.setPortNumber(4);
                                  try {
                                      port.setPortOpen(true);
                                  } catch (const AppError &error) {
                                      return QByteArray::number(error.code()) + ' ' + error.description().toUtf8();
                                  }
                                  return QByteArray("opened");
                              }).value_or("not dropped"));
        QVERIFY2(text.startsWith(QStringLiteral("70 ")), qPrintable(text));
        QVERIFY2(text.contains(pty.path) && text.contains(QStringLiteral("COM4")) &&
                     text.contains(QStringLiteral("ログインし直して")),
                 qPrintable(text));
    }
    // Every byte value arrives unchanged; the hang-up goes out after them, before the port closes
    // and its earlier settings come back. A pseudo-terminal keeps the speed but not parity or
    // character size, so only the bytes can be checked here.
    void bytesThenHangUpBeforeClose_data()
    {
        const BytesThenHangUpBeforeClose row;
        row("modem", 0, "9600,n,8,1", "ATH\r");
        row("link cable", 6, "600,e,8,1", QByteArray(1, char(0xA4)));
    }
    void bytesThenHangUpBeforeClose()
    {
        const auto [modemKind, settings, hangUp] = BytesThenHangUpBeforeClose::row();
        Pty pty;
        link(5, pty.path);
        ComPort port(m_folder);
        port.setPortNumber(5);
        port.setSettings(settings);
        port.setPortOpen(true);
        QVERIFY(port.isOpen());
        QSignalSpy closed(&port, &SerialPort::closed);
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all += char(b);
        port.output(all);
        port.output(QByteArray(1, char(0xA4)));
        hangUpPort(port, modemKind);
        QVERIFY(!port.isOpen());
        QCOMPARE(closed.size(), 1);
        QCOMPARE(pty.read(257 + hangUp.size()), all + char(0xA4) + hangUp);
        QCOMPARE(codeOf([&] { port.output("ATH\r"); }), 8018);
        QCOMPARE(port.input(), QByteArray());
    }

private:
    void link(int number, const QString &target)
    {
        QVERIFY(QFile::link(target, m_folder + QStringLiteral("ports/COM%1").arg(number)));
    }
    QTemporaryDir m_dir;
    QString m_folder;
};

QTEST_GUILESS_MAIN(tst_Port)
#include "tst_port.moc"
