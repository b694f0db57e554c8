// The line log: its records of whole calls on a serial port (a modem, the mobile-phone
// module) as the engine drives them on virtual time, how bytes are shown, and how the
// file is kept: its rights, links planted in its place, and the size it moves aside at.
#include "support/enginerig.h"
#include "support/filehelpers.h"
#include "support/linelogfile.h"
#include "support/table.h"

#include "modem/linelog.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace
{

// The engine on the fake port, unattended, with its log in a folder of its own; the
// device answers every command with "OK" after 100 ms.
struct Rig : EngineRig {
    QTemporaryDir dir;
    LineLog log{dir.path()};
    QByteArray answers; // everything the device said

    Rig(int modemKind, int centerKind)
    {
        oneCentre(centerKind, 1);
        data.settings.ModemKind = qint16(modemKind);
        view.mail = QStringLiteral("AB");
        line.setLog(&log);
        engine.setUnattended(60000);
        port.onWrite = [this](const QByteArray &bytes) {
            if (!bytes.endsWith('\r') || bytes == "ATH\r")
                return;
            waiter.after(100, [this] {
                const QByteArray ok = "\r\nOK\r\n";
                answers += ok;
                port.receive(ok);
            });
        };
    }
    QString path(const char *name = LineLog::FileName) const
    {
        return dir.filePath(QStringLiteral("log/") + QLatin1String(name));
    }
};

QFile::Permissions rights(const QString &path)
{
    return QFileInfo(path).permissions() &
           (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::WriteGroup |
            QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther);
}

} // namespace

using Escaped = table::Of<QByteArray, QByteArray>;

using Records = table::Of<int, int, QByteArrayList>;

class tst_LineLog : public QObject
{
    Q_OBJECT
private slots:
    void escaped_data()
    {
        const Escaped row;
        row("command", "ATZ\r", "ATZ\\r");
        row("answer", "\r\nOK\r\n", "\\r\\nOK\\r\\n");
        row("backslash", "a\\b", "a\\\\b");
        row("NUL and DEL", QByteArray("\0\x7f", 2), "\\x00\\x7F");
        row("link cable keys", "\xA7\x90\x9C", "\\xA7\\x90\\x9C");
        row("a record's end planted", "OK\n0 1 COM1 ! sent", "OK\\n0 1 COM1 ! sent");
    }
    void escaped()
    {
        const auto [bytes, shown] = Escaped::row();
        QCOMPARE(LineLog::escaped(bytes), shown);
        QCOMPARE(unescapeLogText(shown), bytes);
    }

    // A whole unattended send leaves the literal commands and answers in order, each
    // answer after its command, and the stages and the outcome.
    void records_data()
    {
        const Records row;
        const QByteArrayList plain{"call", "number", "mail", "hangup"};
        row("modem", 0, 0, plain);
        row("modem, star stage", 0, 2, {"call", "number", "mail", "star", "hangup"});
        row("mobile-phone module", 8, 0, plain);
        row("link cable", 6, 0, plain);
    }
    void records()
    {
        const auto [modemKind, centerKind, stages] = Records::row();
        Rig rig(modemKind, centerKind);
        rig.press();
        QCOMPARE(rig.view.outcomes.size(), 1);
        QCOMPARE(rig.view.outcomes[0].failure, Failure::None);
        const QList<LogRecord> records = readLineLog(rig.path());
        qint64 last = 0;
        QByteArrayList stagesSeen;
        QByteArrayList outcomes;
        int unanswered = 0;
        for (const LogRecord &r : records) {
            QVERIFY(r.ms >= last);
            last = r.ms;
            QCOMPARE(r.pid, qint64(::getpid()));
            QCOMPARE(r.line, QByteArray("COM1"));
            if (r.mark == '#')
                stagesSeen << r.text;
            if (r.mark == '>')
                ++unanswered;
            if (r.mark == '<')
                QVERIFY2(unanswered > 0, r.text.constData()); // no answer before its command
            if (r.mark == '!')
                outcomes << r.text;
        }
        QCOMPARE(stagesSeen, stages);
        QCOMPARE(joinedLog(records, '>'), rig.port.written());
        QCOMPARE(joinedLog(records, '<'), rig.answers);
        // The outcome last but for the answer to a hang-up that awaits one (the module's).
        QCOMPARE(outcomes, QByteArrayList({"sent", "end: sent"}));
        QVERIFY(records.last().mark == '!' || (modemKind == 8 && records.last().mark == '<'));
    }

    // The log's folder and file: made private, never through a planted link, and moved
    // aside at the start of a call once over the size.
    void files_data()
    {
        QTest::addColumn<QString>("planted");
        for (const char *planted : {"nothing yet", "loose rights", "file is a link", "folder is a link",
                                    "file is a folder", "over the size", "at the size"})
            QTest::newRow(planted) << QString::fromLatin1(planted);
    }
    void files()
    {
        QFETCH(QString, planted);
        QTemporaryDir dir, elsewhere;
        const QString logDir = dir.filePath(QStringLiteral("log")), file = logDir + QStringLiteral("/line.log");
        const QString victim = elsewhere.filePath(QStringLiteral("victim"));
        QVERIFY(writeFileBytes(victim, "victim"));
        if (planted == u"folder is a link") {
            QVERIFY(QFile::link(elsewhere.path(), logDir));
        } else if (planted != u"nothing yet") {
            QVERIFY(QDir().mkdir(logDir));
        }
        const QByteArray big(LineLog::RotateBytes + 1, 'x');
        if (planted == u"loose rights") {
            QVERIFY(writeFileBytes(file, "old\n"));
            QVERIFY(QFile::setPermissions(logDir, QFile::Permissions(0x7755)));
            QVERIFY(QFile::setPermissions(file, QFile::Permissions(0x6644)));
        } else if (planted == u"file is a link") {
            QVERIFY(QFile::link(victim, file));
        } else if (planted == u"file is a folder") {
            QVERIFY(QDir().mkdir(file));
        } else if (planted == u"over the size") {
            QVERIFY(writeFileBytes(file, big));
        } else if (planted == u"at the size") {
            QVERIFY(writeFileBytes(file, big.chopped(1)));
        }
        {
            LineLog log(dir.path());
            log.beginCall(QStringLiteral("COM1"));
            log.written("ATZ\r");
        }
        QCOMPARE(readFileBytes(victim), QByteArray("victim"));
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"victim"});
        if (planted.contains(u" is a ")) {
            QVERIFY(QFileInfo(planted == u"folder is a link" ? logDir : file).isSymLink() || QFileInfo(file).isDir());
            return;
        }
        QCOMPARE(rights(logDir), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(rights(file), QFile::ReadOwner | QFile::WriteOwner);
        const QByteArray bytes = readFileBytes(file);
        QVERIFY2(bytes.endsWith(" COM1 > ATZ\\r\n"), bytes.right(80).constData());
        if (planted == u"over the size") {
            QCOMPARE(readFileBytes(file + QStringLiteral(".1")), big);
            QVERIFY(bytes.size() < 100);
        } else {
            QVERIFY(!QFileInfo::exists(file + QStringLiteral(".1")));
        }
    }

    // Over 200 sends the log and the one moved aside each stay under the size and one
    // call's records.
    void staysUnderItsCap()
    {
        Rig rig(0, 0);
        rig.view.mail = QString(150, QLatin1Char('A'));
        rig.data.settings.SendStrings = 1;
        qint64 biggestCall = 0;
        for (int i = 0; i < 200; ++i) {
            const qint64 before = QFileInfo(rig.path()).size();
            rig.press();
            const qint64 after = QFileInfo(rig.path()).size();
            if (after > before)
                biggestCall = qMax(biggestCall, after - before);
            QVERIFY(after <= LineLog::RotateBytes + biggestCall);
            QVERIFY(QFileInfo(rig.path("line.log.1")).size() <= LineLog::RotateBytes + biggestCall);
        }
        QCOMPARE(rig.view.outcomes.size(), 200);
        QVERIFY(QFileInfo::exists(rig.path("line.log.1")));
        QVERIFY(biggestCall < 64 * 1024);
    }
};

QTEST_GUILESS_MAIN(tst_LineLog)
#include "tst_linelog.moc"
