#include "support/pulseserver.h"
#include "support/sendrig.h"

#include "modem/tonedialer.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// fumidori-dtmf tones as a person uses it, heard by an independent decoder
// (multimon-ng): WAV files, and playing through a private PulseAudio server.
namespace
{

ToolRun dtmf(const QStringList &args)
{
    return runTool(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-dtmf"), args, {},
                   QProcessEnvironment::systemEnvironment(), 120000);
}

} // namespace

class tst_tonedecode : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    PulseServer m_server;
    QString m_noServer;

    // The keys multimon-ng hears in the WAV file the tool writes.
    QString heard(QStringList args)
    {
        const QString wav = m_dir.filePath(QStringLiteral("keys.wav"));
        const ToolRun run = dtmf(QStringList{"tones", "--wav", wav} + args);
        if (run.exitCode != 0)
            return QStringLiteral("<exit %1: %2>").arg(run.exitCode).arg(run.err);
        QString error;
        const QString keys = multimonKeysOfWav(wav, &error);
        return error.isEmpty() ? keys : QStringLiteral("<multimon-ng: %1>").arg(error);
    }

private slots:
    // Every key, then random strings, repeated keys included: a gap of 60 ms or more parts
    // them for a decoder that judges 40 ms windows.
    void keyStrings()
    {
        QCOMPARE(heard({"0123456789*#ABCD"}), u"0123456789*#ABCD"_qs);
        QRandomGenerator random(20261207);
        const QString keypad = QStringLiteral("0123456789*#");
        for (int run = 0; run < 100; ++run) {
            QString keys;
            for (int i = random.bounded(1, 61); i > 0; --i)
                keys += keypad[random.bounded(int(keypad.size()))];
            const QString tone = QString::number(random.bounded(60, 201));
            const QString gap = QString::number(random.bounded(60, 201));
            QCOMPARE(heard({"--tone", tone, "--gap", gap, keys}), keys);
        }
    }

    // Characters without a code stop the tool, writing nothing, unless --skip leaves
    // them out, as the mail stage does.
    void uncodedCharacters()
    {
        const QString wav = m_dir.filePath(QStringLiteral("refused.wav"));
        const ToolRun run = dtmf({"tones", "--wav", wav, "--text", "Aa.", "--kind", "0"});
        QVERIFY2(run.exitCode == 2 && run.err.contains(u"\"a\" (2), \".\" (3)"), qPrintable(run.err));
        QVERIFY(!QFile::exists(wav));
        QCOMPARE(heard({"--text", "Aa.", "--kind", "0", "--skip"}), u"*2*216##"_qs);
    }

    void initTestCase()
    {
        QString error;
        if (!m_server.start(&error))
            m_noServer = QStringLiteral("no audio server can start here: ") + error;
    }

    void playedThroughTheSoundServer()
    {
        if (!m_noServer.isEmpty())
            QSKIP(qPrintable(m_noServer));
        QString error;
        QVERIFY2(m_server.startRecording(&error), qPrintable(error));
        const QString keys = QStringLiteral("0123456789*#0055");
        const ToolRun run = dtmf({"tones", "--play", "--tone", "80", "--gap", "80", keys});
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QCOMPARE(multimonKeys(m_server.stopRecording(), &error), keys);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    // The dialer as a call uses it: a stage's keys, then a hang-up that silences it at once.
    // (Stage after stage is heard in tst_soundsend.)
    void stagesAndStop()
    {
        if (!m_noServer.isEmpty())
            QSKIP(qPrintable(m_noServer));
        QString error;
        QVERIFY2(m_server.startRecording(&error), qPrintable(error));
        ToneDialer dialer;
        QSignalSpy finished(&dialer, &ToneDialer::finished);
        QVERIFY2(dialer.play(QStringLiteral("0570000111"), 60, 60, &error), qPrintable(error));
        QVERIFY(finished.wait(10000));
        // Hung up in the third of ten keys.
        QVERIFY(dialer.play(QStringLiteral("*2*2161718"), 100, 100, &error));
        QTimer::singleShot(500, &dialer, &ToneDialer::stop);
        QVERIFY(!finished.wait(2500));
        const QString heard = multimonKeys(m_server.stopRecording(), &error);
        QVERIFY2(heard.startsWith(QStringLiteral("0570000111*2")) && heard.size() <= 13, qPrintable(heard));
    }
};

QTEST_GUILESS_MAIN(tst_tonedecode)
#include "tst_tonedecode.moc"
