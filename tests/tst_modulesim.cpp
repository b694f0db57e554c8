// fumidori-modemsim --kind module over its pseudo-terminal: a mobile-phone module
// driven by the 3GPP voice commands, talked to line by line (tst_sendline sends
// through it with fumidori-send).
#include "support/modemsim.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

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
};

QTEST_GUILESS_MAIN(tst_ModuleSim)
#include "tst_modulesim.moc"
