// Device kind 9 end to end: the main window sends with the sound card as a tone dialer
// to a private PulseAudio server's null sink; the sink's monitor is recorded and
// multimon-ng must hear exactly the keys of the call, in order. No port is opened.
// fumidori-send does the same with its question answered on a pseudo-terminal.
#include "support/fakeplatform.h"
#include "support/fakeport.h"
#include "support/filehelpers.h"
#include "support/pulseserver.h"

#include "modem/lockedport.h"
#include "modem/sendengine.h"
#include "store/appdata.h"
#include "store/locks.h"
#include "store/settingsfile.h"
#include "ui/frmmain.h"
#include "ui/mailedit.h"

#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

namespace
{

// The sound card as the device, one centre and one recipient, in the given folder.
AppData soundData(const QString &folder)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.settings.ModemKind = 9;
    data.settings.ToneLength = 80;
    data.settings.ToneGap = 80;
    data.settings.MailInterval = 1;
    data.history.resize(data.settings.HistoryCount);
    data.centers << MessageCenter{QStringLiteral("C"), 0, QStringLiteral("0570000111"), 160, 1, 1, 1};
    data.recipients << Recipient{QStringLiteral("R"), 0, QStringLiteral("09012345678")};
    return data;
}

struct Fixture {
    TempDir dir;
    FakePlatform fake;
    AppData data = soundData(dir.path() + QLatin1Char('/'));
    FakePort port;
    std::unique_ptr<frmMain> window;

    explicit Fixture(int autoTransmit)
    {
        data.settings.AutoTransmit = qint16(autoTransmit);
        window = std::make_unique<frmMain>(data, fake.platform, port);
        window->prepareWindow();
        window->show();
        window->txtMail->setPlainText(QStringLiteral("ABC"));
    }
    // Presses the send button and waits until the press (and the stages it runs) is over,
    // answering the question at the call with the given button.
    bool press(const QString &answer = QString())
    {
        QSignalSpy settled(&window->engine(), &SendEngine::settled);
        window->cmdButton->click();
        if (!answer.isEmpty()) {
            auto *box = window->findChild<QMessageBox *>(QStringLiteral("boxHoldPhone"));
            if (!box || !box->isVisible())
                return false;
            if (answer == u"Return")
                QTest::keyClick(box, Qt::Key_Return);
            else
                for (QAbstractButton *b : box->buttons())
                    if (b->text() == answer)
                        b->click();
        }
        return settled.wait(60000);
    }
};

} // namespace

class tst_SoundSend : public QObject
{
    Q_OBJECT
    PulseServer m_server;
    QString m_noServer, m_error;

private slots:
    void initTestCase()
    {
        QString error;
        if (!m_server.start(&error))
            m_noServer = QStringLiteral("no audio server can start here: ") + error;
    }
    // Every test records the sink's monitor from its start.
    void init()
    {
        if (!m_noServer.isEmpty())
            QSKIP(qPrintable(m_noServer));
        QString error;
        QVERIFY2(m_server.startRecording(&error), qPrintable(error));
    }

    // Return takes the default answer, "番号を鳴らす": the centre's number is played.
    void automaticSend()
    {
        Fixture f(1);
        QVERIFY(f.press(QStringLiteral("Return")));
        QCOMPARE(f.window->engine().stage(), SendStage::Done);
        QCOMPARE(f.window->cmdButton->text(), QStringLiteral("送ったよ！"));
        QCOMPARE(multimonKeys(m_server.stopRecording(), &m_error),
                 QStringLiteral("057000011109012345678#*2*2161718##"));
        QVERIFY(f.port.events.isEmpty());
        QCOMPARE(f.data.history.used().size(), 1);
        QVERIFY(f.fake.boxes.shown.isEmpty());
    }

    // "自分でかけた" plays nothing at the call; the hang-up ends the call at once.
    void dialledByHandThenHungUp()
    {
        Fixture f(0);
        QVERIFY(f.press(QStringLiteral("自分でかけた")));
        QVERIFY(f.press());
        QCOMPARE(f.window->engine().stage(), SendStage::Mail);
        f.window->cmdCut->click();
        QVERIFY(!f.window->engine().lineOpen());
        QCOMPARE(f.window->engine().stage(), SendStage::Call);
        QCOMPARE(multimonKeys(m_server.stopRecording(), &m_error), QStringLiteral("09012345678#"));
        QVERIFY(f.port.events.isEmpty());
        QCOMPARE(f.data.history.used().size(), 0);
    }

    // fumidori-send with standard input on a terminal: the question on standard error,
    // Return typed on the terminal plays the number; the whole call is heard, the send
    // is recorded, and no port is locked.
    void senderOnTerminal()
    {
        TempDir dir;
        const AppData data = soundData(dir.path() + QLatin1Char('/'));
        QVERIFY(!SaveSettingsFile(data));
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        // Port 1 is this test's own terminal, so that no lock on the machine's port counts.
        QVERIFY(QDir().mkpath(data.folder + "ports") &&
                QFile::link(QString::fromLatin1(::ptsname(master)), data.folder + "ports/COM1"));
        PortLock port(LockedPort::lockPath(data.folder, data.settings.PortNumber)); // no matter: no port
        QVERIFY(port.tryLock());
        QProcess sender;
        sender.setStandardInputFile(QString::fromLatin1(::ptsname(master)));
        sender.setReadChannel(QProcess::StandardError);
        sender.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"), {"--folder", data.folder, "--to", "R", "ABC"});
        QByteArray err;
        while (!err.contains("Return")) {
            QVERIFY2(sender.waitForReadyRead(20000), err.constData());
            err += sender.readAllStandardError();
        }
        // Waited for in the event loop, so that the recorder's output is read meanwhile.
        QSignalSpy finished(&sender, &QProcess::finished);
        QCOMPARE(::write(master, "\n", 1), 1);
        QVERIFY(finished.wait(60000));
        err += sender.readAllStandardError();
        ::close(master);
        QVERIFY2(sender.exitCode() == 0, err.constData());
        QCOMPARE(multimonKeys(m_server.stopRecording(), &m_error),
                 QStringLiteral("057000011109012345678#*2*2161718##"));
        const QByteArray history = readFileBytes(data.historyPath()); // the send recorded
        QVERIFY2(history.startsWith("\"R\",\"C\",\"") && history.endsWith("\"\r\nABC\r\n"), history.constData());
    }
};

QTEST_MAIN(tst_SoundSend)
#include "tst_soundsend.moc"
