// fumidori-modemsim --kind module over its pseudo-terminal: a mobile-phone module
// driven by the 3GPP voice commands, talked to line by line (tst_sendline sends
// through it with fumidori-send).
#include "support/modemsim.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

class tst_ModuleSim : public QObject
{
    Q_OBJECT

    // Sends one command; returns the answer up to its final line.
    static QByteArray command(QSerialPort &line, const QByteArray &text)
    {
        line.write(text + '\r');
        QByteArray answer;
        const QDeadlineTimer deadline(5000);
        while (!answer.contains("OK\r\n") && !answer.contains("ERROR\r\n") &&
               line.waitForReadyRead(int(deadline.remainingTime())))
            answer += line.readAll();
        return answer;
    }

private slots:
    void call_data()
    {
        // Each step: command => answer (echo included). The call's summary follows.
        QTest::addColumn<QList<QByteArrayList>>("steps");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("summary"); // empty: no call
        const QList<QByteArrayList> opening{{"ATZ", "ATZ\r\r\nOK\r\n"},
                                            {"ATE0", "ATE0\r\r\nOK\r\n"},
                                            {"AT+VTD=1", "\r\nOK\r\n"},
                                            {"ATD0,0570000111;", "\r\nOK\r\n"}};
        QList<QByteArrayList> keys;
        for (char key : QByteArray("09012345678#*2*216##"))
            keys.append({"AT+VTS=" + QByteArray(1, key), "\r\nOK\r\n"});
        const QByteArray summary("centre: 0,0570000111\nkeys: \nrecipient: 09012345678\ndigits: *2*216\nend: ##\n"
                                 "star: no\nmessage: A\n--\n");
        QTest::newRow("whole call") << opening + keys + QList<QByteArrayList>{{"AT+CHUP", "\r\nOK\r\n"}}
                                    << QStringList{} << summary;
        QTest::newRow("ERROR to AT+CHUP, ATH hangs up")
            << opening + keys + QList<QByteArrayList>{{"AT+CHUP", "\r\nERROR\r\n"}, {"ATH", "\r\nOK\r\n"}}
            << QStringList{"--chup-error"} << summary;
        QTest::newRow("no data calls, no keys outside a call, no second call")
            << QList<QByteArrayList>{{"ATE0", "ATE0\r\r\nOK\r\n"},     {"ATD0570000111", "\r\nERROR\r\n"},
                                     {"AT+VTS=1", "\r\nERROR\r\n"},    {"AT+VTD=0", "\r\nERROR\r\n"},
                                     {"ATD0570000111;", "\r\nOK\r\n"}, {"ATD0570000222;", "\r\nERROR\r\n"},
                                     {"AT+VTS=x", "\r\nERROR\r\n"},    {"AT+CHUP", "\r\nOK\r\n"}}
            << QStringList{}
            << QByteArray("centre: 0570000111\nkeys: \nrecipient: \ndigits: \nend: \nstar: no\nmessage: \n--\n");
    }
    void call()
    {
        QFETCH(QList<QByteArrayList>, steps);
        QFETCH(QStringList, options);
        QFETCH(QByteArray, summary);
        QTemporaryDir dir;
        ModemSim sim;
        QVERIFY(sim.start(dir.path(), 2, QStringList{"--kind", "module"} + options));
        QSerialPort line(dir.filePath(QStringLiteral("ports/COM2")));
        QVERIFY(line.open(QIODevice::ReadWrite));
        for (const QByteArrayList &step : steps)
            QCOMPARE(command(line, step[0]), step[1]);
        sim.field("message", 1); // once the call is told
        QCOMPARE(sim.printed.toUtf8(), summary);
    }

    // Bad usage is exit status 2 with one line naming the problem; nothing starts.
    void badOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::newRow("port 0") << QStringList{"--port", "0"} << "--port";
        QTest::newRow("port 16") << QStringList{"--port", "16"} << "--port";
        QTest::newRow("port not a number") << QStringList{"--port", "abc"} << "--port";
        QTest::newRow("negative delay") << QStringList{"--delay", "-5"} << "--delay";
        QTest::newRow("negative noise") << QStringList{"--noise", "-1"} << "--noise";
        QTest::newRow("SIP port 0") << QStringList{"--sip", "0"} << "--sip";
        QTest::newRow("unknown kind") << QStringList{"--kind", "fax"} << "--kind";
        QTest::newRow("unreachable: not digits") << QStringList{"--unreachable", "05a0"} << "--unreachable";
        QTest::newRow("unreachable: 33 digits") << QStringList{"--unreachable", QString(33, u'1')} << "--unreachable";
        QTest::newRow("stray argument") << QStringList{"COM1"} << "COM1";
        QTest::newRow("unknown option") << QStringList{"--speed", "9600"} << "speed";
    }
    void badOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        QTemporaryDir dir;
        QProcess sim;
        sim.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"), QStringList{"--folder", dir.path()} + args);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 2);
        const QString err = QString::fromUtf8(sim.readAllStandardError());
        QVERIFY2(err.count(u'\n') == 1 && err.contains(said), qPrintable(err));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("ports"))));
    }

    // A program that set the line's exclusive mode and went away (killed, say) leaves it
    // open to the next one, as a real device's last close does.
    void exclusiveModeEndsWithItsProgram()
    {
        QTemporaryDir dir;
        ModemSim sim;
        QVERIFY(sim.start(dir.path(), 2));
        const QByteArray device = QFile::encodeName(dir.filePath(QStringLiteral("ports/COM2")));
        int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0);
        ::close(fd);
        // Once the simulator has answered a command sent after the close, it has seen it.
        // (Raw descriptors: a serial port object would clear the mode itself as it closes.)
        fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(fd >= 0 && ::write(fd, "AT\r", 3) == 3);
        QByteArray answer;
        pollfd readable{fd, POLLIN, 0};
        while (!answer.contains("OK\r\n") && ::poll(&readable, 1, 5000) == 1) {
            char buffer[64];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            answer += QByteArray(buffer, int(qMax<ssize_t>(0, n)));
        }
        ::close(fd);
        QVERIFY2(answer.contains("OK\r\n"), answer.constData());
        fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        int exclusive = -1;
        QVERIFY(fd >= 0 && ::ioctl(fd, TIOCGEXCL, &exclusive) == 0);
        ::close(fd);
        QCOMPARE(exclusive, 0);
    }
};

QTEST_GUILESS_MAIN(tst_ModuleSim)
#include "tst_modulesim.moc"
