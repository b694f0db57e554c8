// fumidori-modemsim --kind module over its pseudo-terminal: a mobile-phone module
// driven by the 3GPP voice commands, talked to line by line, and a whole send of
// device kind 8 through the send engine.
#include "support/consolefrontend.h"

#include "modem/comport.h"
#include "modem/modemline.h"
#include "modem/sendengine.h"
#include "store/appdata.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_ModuleSim : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    // Starts the simulator as a module with the extra options; the line opened on it.
    bool start(QProcess &sim, QSerialPort &line, const QStringList &options)
    {
        sim.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"),
                  QStringList{"--folder", m_dir.path(), "--port", "2", "--kind", "module"} + options);
        sim.setReadChannel(QProcess::StandardError);
        if (!sim.waitForStarted() || !sim.waitForReadyRead(5000)) // it tells its link once the line is up
            return false;
        sim.setReadChannel(QProcess::StandardOutput);
        line.setPortName(m_dir.filePath(QStringLiteral("ports/COM2")));
        return line.open(QIODevice::ReadWrite);
    }

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
        QProcess sim;
        QSerialPort line;
        QVERIFY(start(sim, line, options));
        for (const QByteArrayList &step : steps)
            QCOMPARE(command(line, step[0]), step[1]);
        QByteArray printed;
        while (!printed.endsWith("--\n") && sim.waitForReadyRead(5000))
            printed += sim.readAllStandardOutput();
        QCOMPARE(printed, summary);
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
    }

    void sendThroughTheEngine_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("module") << QStringList{};
    }
    void sendThroughTheEngine()
    {
        QFETCH(QStringList, options);
        QProcess sim;
        QSerialPort probe;
        QVERIFY(start(sim, probe, options));
        probe.close();
        const QString mail = QStringLiteral("ﾃｽﾄ ABC-123 あいう漢字");
        AppData data;
        data.folder = m_dir.path() + u'/';
        data.settings = Settings::defaults();
        data.settings.PortNumber = 2;
        data.settings.ModemKind = 8;
        data.history.resize(5);
        data.centers << MessageCenter{QStringLiteral("C"), 2, QStringLiteral("0570000111"), 160, 0, 0, 0};
        data.recipients << Recipient{QStringLiteral("R"), 0, QStringLiteral("09012345678")};
        ComPort port(data.folder);
        EventLoopWaiter waiter;
        ModemLine line(data.settings, port, waiter);
        SingleLine lines(line);
        ConsoleFrontEnd view(data);
        view.mail = mail;
        SendEngine engine(data, lines, view);
        // Stage by stage: the call, the number, the message, the star, the hang-up.
        for (int press = 0; press < 5; ++press) {
            QEventLoop loop;
            connect(&engine, &SendEngine::settled, &loop, &QEventLoop::quit);
            engine.send();
            if (engine.busy())
                loop.exec();
        }
        QCOMPARE(engine.stage(), SendStage::Done);
        QVERIFY(view.errorsReported.isEmpty());
        // The hang-up awaits the module's answer in the event loop.
        QSignalSpy output(&sim, &QProcess::readyReadStandardOutput);
        QByteArray printed = sim.readAllStandardOutput();
        while (!printed.endsWith("--\n") && output.wait(5000))
            printed += sim.readAllStandardOutput();
        QVERIFY2(printed.contains("\nrecipient: 09012345678\n") && printed.contains("\nkeys: #\n") &&
                     printed.contains("\nstar: yes\n") && !printed.contains("dropped"),
                 printed);
        QVERIFY2(printed.contains(("\nmessage: " + mail + "\n").toUtf8()), printed);
        QCOMPARE(data.history.used().size(), 1);
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(tst_ModuleSim)
#include "tst_modulesim.moc"
