// fumidori-modemsim --kind module over its pseudo-terminal: a mobile-phone module
// driven by the 3GPP voice commands, talked to line by line (tst_sendline sends
// through it with fumidori-send).
#include "support/filehelpers.h"
#include "support/modemsim.h"
#include "support/table.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

// summary: empty: no call
using Call = table::Of<QList<QByteArrayList>, QStringList, QByteArray>;

using BadOptions = table::Of<QStringList, QString>;

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
        const Call row;
        const QList<QByteArrayList> opening{{"ATZ", "ATZ\r\r\nOK\r\n"},
                                            {"ATE0", "ATE0\r\r\nOK\r\n"},
                                            {"AT+VTD=1", "\r\nOK\r\n"},
                                            {"ATD0,0570000111;", "\r\nOK\r\n"}};
        QList<QByteArrayList> keys;
        for (char key : QByteArray("09012345678#*2*216##"))
            keys.append({"AT+VTS=" + QByteArray(1, key), "\r\nOK\r\n"});
        const QByteArray summary("centre: 0,0570000111\nkeys: \nrecipient: 09012345678\ndigits: *2*216\nend: ##\n"
                                 "star: no\nmessage: A\n--\n");
        row("whole call", opening + keys + QList<QByteArrayList>{{"AT+CHUP", "\r\nOK\r\n"}}, {}, summary);
        row("ERROR to AT+CHUP, ATH hangs up",
            opening + keys + QList<QByteArrayList>{{"AT+CHUP", "\r\nERROR\r\n"}, {"ATH", "\r\nOK\r\n"}},
            {"--chup-error"}, summary);
        row("no data calls, no keys outside a call, no second call",
            QList<QByteArrayList>{{"ATE0", "ATE0\r\r\nOK\r\n"},
                                  {"ATD0570000111", "\r\nERROR\r\n"},
                                  {"AT+VTS=1", "\r\nERROR\r\n"},
                                  {"AT+VTD=0", "\r\nERROR\r\n"},
                                  {"ATD0570000111;", "\r\nOK\r\n"},
                                  {"ATD0570000222;", "\r\nERROR\r\n"},
                                  {"AT+VTS=x", "\r\nERROR\r\n"},
                                  {"AT+CHUP", "\r\nOK\r\n"}},
            {}, "centre: 0570000111\nkeys: \nrecipient: \ndigits: \nend: \nstar: no\nmessage: \n--\n");
    }
    void call()
    {
        const auto [steps, options, summary] = Call::row();
        TempDir dir;
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
        const BadOptions row;
        row("port 0", {"--port", "0"}, "--port");
        row("port 16", {"--port", "16"}, "--port");
        row("port not a number", {"--port", "abc"}, "--port");
        row("negative delay", {"--delay", "-5"}, "--delay");
        row("negative noise", {"--noise", "-1"}, "--noise");
        row("SIP port 0", {"--sip", "0"}, "--sip");
        row("unknown kind", {"--kind", "fax"}, "--kind");
        row("IMEI not digits", {"--imei", "4901x"}, "--imei");
        row("unreachable: not digits", {"--unreachable", "05a0"}, "--unreachable");
        row("unreachable: 33 digits", {"--unreachable", QString(33, u'1')}, "--unreachable");
        row("stray argument", {"COM1"}, "COM1");
        row("unknown option", {"--speed", "9600"}, "speed");
    }
    void badOptions()
    {
        const auto [args, said] = BadOptions::row();
        TempDir dir;
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
        TempDir dir;
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

    // A program that closes its port mid-call (killed, say) ends the call, as DTR dropping
    // hangs a modem up: the next program's centre dial is a call of its own.
    void callEndsWithItsPort()
    {
        TempDir dir;
        ModemSim sim;
        QVERIFY(sim.start(dir.path(), 2));
        QSerialPort line(dir.filePath(QStringLiteral("ports/COM2")));
        QVERIFY(line.open(QIODevice::ReadWrite));
        QVERIFY(command(line, "ATD0570000111;").endsWith("OK\r\n"));
        QVERIFY(command(line, "ATD09012345678#;").endsWith("OK\r\n"));
        line.close();
        QCOMPARE(sim.field("dropped", 1), QStringList{"yes"});
        QVERIFY(line.open(QIODevice::ReadWrite));
        for (const char *text : {"ATD0570000222;", "ATD09012345678#;", "ATD*2*216##;", "ATH"})
            QVERIFY(command(line, text).endsWith("OK\r\n"));
        QCOMPARE(sim.field("centre", 2), QStringList({"0570000111", "0570000222"}));
        QCOMPARE(sim.field("message", 2), QStringList{"A"});
    }
};

QTEST_GUILESS_MAIN(tst_ModuleSim)
#include "tst_modulesim.moc"
