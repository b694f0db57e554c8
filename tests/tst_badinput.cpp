#include "support/fakeplatform.h"
#include "support/filehelpers.h"

#include "app/lifecycle.h"
#include "store/appdata.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// Damages a good file the ways files get damaged: cut off, lines shuffled or lost,
// bytes changed, or nothing of the original left at all.
QByteArray damage(const QByteArray &good, QRandomGenerator &random)
{
    static const QByteArray alphabet = QByteArray(",\"\r\n[]= -.0123456789AInformatio\x82\xa0\x81", 35) + '\0';
    QByteArray out = good;
    switch (random.bounded(5)) {
    case 0:
        return good.left(random.bounded(good.size() + 1));
    case 1: {
        QList<QByteArray> lines = good.split('\n');
        for (qsizetype i = lines.size() - 1; i > 0; --i)
            lines.swapItemsAt(i, random.bounded(int(i + 1)));
        return lines.join('\n');
    }
    case 2: {
        QList<QByteArray> lines = good.split('\n');
        lines.removeAt(random.bounded(int(lines.size())));
        return lines.join('\n');
    }
    case 3:
        for (int n = random.bounded(1, 8); n > 0 && !out.isEmpty(); --n)
            out[random.bounded(int(out.size()))] = alphabet[random.bounded(int(alphabet.size()))];
        return out;
    default:
        out.resize(random.bounded(600));
        for (char &c : out)
            c = random.bounded(4) == 0 ? char(random.bounded(256)) : alphabet[random.bounded(int(alphabet.size()))];
        return out;
    }
}

} // namespace

class tst_BadInput : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Each damaged file, the settings file's and then the history's, either loads or ends
    // start-up with one message naming it; either way neither file changes.
    void damagedFilesEndCleanly()
    {
        const QByteArray goodSettings = storeTestData("sample.ini");
        const QByteArray goodHistory = storeTestData("history.ini");
        for (const bool damageSettings : {true, false}) {
            QRandomGenerator random(damageSettings ? 1234 : 5678);
            const QString file = damageSettings ? QStringLiteral("Fumidori.ini") : QStringLiteral("History.ini");
            QTemporaryDir dir;
            int ended = 0;
            for (int round = 0; round < 200; ++round) {
                const QByteArray settings = damageSettings ? damage(goodSettings, random) : goodSettings;
                const QByteArray history = damageSettings ? goodHistory : damage(goodHistory, random);
                AppData data;
                data.folder = dir.path() + u'/';
                QVERIFY(writeFileBytes(data.settingsPath(), settings));
                QVERIFY(writeFileBytes(data.historyPath(), history));
                FakePlatform fake;
                try {
                    lifecycle::loadAtStartUp(data, fake.platform, nullptr);
                    QVERIFY(fake.boxes.shown.isEmpty());
                } catch (const ProcessEnded &e) {
                    ++ended;
                    QCOMPARE(e.code, 1);
                    QCOMPARE(fake.boxes.shown.size(), 1);
                    QVERIFY2(fake.boxes.shown[0].text.startsWith(file), qPrintable(fake.boxes.shown[0].text));
                }
                lifecycle::releaseInstanceLock();
                QCOMPARE(readFileBytes(data.settingsPath()), settings);
                QCOMPARE(readFileBytes(data.historyPath()), history);
            }
            QVERIFY(ended > 25); // the damage was real often enough to mean something
        }
    }
};

QTEST_GUILESS_MAIN(tst_BadInput)
#include "tst_badinput.moc"
