// Faults on the line, seen from the main window: the real window on a real port, over a
// pseudo-terminal to fumidori-modemsim playing a faulty device. Whatever the device
// does, the call ends, the window is ready for the next send, and the address book and
// the history are what they were on disk and in memory.
#include "support/fakeplatform.h"
#include "support/filehelpers.h"
#include "support/press.h"
#include "support/table.h"

#include "app/lifecycle.h"
#include "modem/comport.h"
#include "modem/sendengine.h"
#include "store/appdata.h"
#include "store/historyfile.h"
#include "store/settingsfile.h"
#include "ui/frmmain.h"
#include "ui/mailedit.h"

#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// presses: of the send button, while the port is open; cutAfterMs: the hang-up button, pressed while the call waits; 0:
// never
using LineFaults = table::Of<QStringList, int, int, QString>;

class tst_Faults : public QObject
{
    Q_OBJECT
private slots:
    void lineFaults_data()
    {
        const LineFaults row;
        const QString dropped = QStringLiteral("回線が切断されました");
        const QString cut = QStringLiteral("電話回線を切断しました");
        // Commands of a call with the built-in settings: ATZ, ATE0..., the centre, the number, the message.
        // (The engine's tests end the call after every write; here the window and the files are watched.)
        row("device gone mid-message", {"--drop-after", "5"}, 3, 0, dropped);
        row("a mebibyte of noise before each answer", {"--noise", "1048576"}, 2, 0, cut);
        row("NO CARRIER at the number", {"--no-carrier-after", "4"}, 3, 0, dropped);
        row("silent device, hung up by hand", {"--silent"}, 1, 400, cut);
        row("answers without CR, hung up by hand", {"--no-cr"}, 1, 400, cut);
        row("slow and noisy", {"--delay", "20", "--noise", "40"}, 2, 0, cut);
    }

    void lineFaults()
    {
        const auto [options, presses, cutAfterMs, panel1] = LineFaults::row();
        QTemporaryDir dir;
        const QString folder = dir.path() + QLatin1Char('/');
        // Files that reach the simulator on COM1: one centre, one recipient, one message already sent.
        AppData saved;
        saved.folder = folder;
        saved.settings = Settings::defaults();
        saved.history.resize(saved.settings.HistoryCount);
        saved.centers << MessageCenter{QStringLiteral("センター"), 0, QStringLiteral("0570000111"), 160, 3, 3, 3};
        saved.recipients << Recipient{QStringLiteral("相手"), 0, QStringLiteral("09012345678")};
        AddHistoryEntry(saved, QStringLiteral("相手"), QStringLiteral("センター"), QStringLiteral("前のメッセージ"));
        QVERIFY(!SaveSettingsFile(saved) && !SaveHistoryFile(saved));
        const QByteArray settingsBytes = readFileBytes(saved.settingsPath());
        const QByteArray historyBytes = readFileBytes(saved.historyPath());
        QProcess sim;
        sim.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"), QStringList{"--folder", folder} + options);
        QVERIFY(sim.waitForStarted());
        sim.setReadChannel(QProcess::StandardError);
        QVERIFY(sim.waitForReadyRead(5000)); // the link is up

        FakePlatform fake;
        AppData data;
        data.folder = folder;
        ComPort port(folder);
        frmMain window(data, fake.platform, port);
        window.Form_Load();
        window.txtMail->setPlainText(QStringLiteral("ABC あ"));
        if (cutAfterMs > 0)
            QTimer::singleShot(cutAfterMs, window.cmdCut, &QPushButton::click);
        for (int press = 0; press < presses && (press == 0 || port.isOpen()); ++press)
            QVERIFY(pressAndSettle(window.engine(), [&] { window.cmdButton->click(); }));
        if (port.isOpen())
            window.cmdCut->click();

        QVERIFY(!port.isOpen());
        QCOMPARE(window.statusText(1), panel1);
        QCOMPARE(window.cmdButton->text(), QStringLiteral("センターにかける"));
        QVERIFY(window.cmdButton->isEnabled());
        for (const ShownBox &box : fake.boxes.shown)
            QVERIFY2(box.text.contains(QStringLiteral("8018")), qPrintable(box.text)); // "port not open" at most
        QCOMPARE(data.centers, saved.centers);
        QCOMPARE(data.recipients, saved.recipients);
        QCOMPARE(data.history.used(), saved.history.used());
        QCOMPARE(readFileBytes(saved.settingsPath()), settingsBytes);
        QCOMPARE(readFileBytes(saved.historyPath()), historyBytes);
        lifecycle::releaseInstanceLock(); // the folder goes with this row
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
    }
};

QTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
