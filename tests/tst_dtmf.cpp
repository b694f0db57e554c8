#include "support/sendrig.h"
#include "support/table.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

const QString Dtmf = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-dtmf");

// output: empty: the run fails; error: a part of the one error line
using Runs = table::Of<QStringList, QByteArray, QByteArray, QString>;

// The command-line tool as a person uses it: arguments or standard input in, one
// line per result out, exit status 2 with one error line on bad input.
class tst_dtmf : public QObject
{
    Q_OBJECT
private slots:
    void runs_data()
    {
        const Runs row;
        const auto ok = [&](const char *name, const QStringList &args, const QByteArray &output,
                            const QByteArray &input = {}) { row(name, args, input, output, {}); };
        const auto bad = [&](const char *name, const QStringList &args, const QString &error = {},
                             const QByteArray &input = {}) { row(name, args, input, {}, error); };
        ok("encode", {"encode", "ABC"}, "*2*2161718\n");
        ok("encode with end mark", {"encode", "--kind", "7", "ABC"}, "*2*2161718#\n");
        ok("encode pieces", {"encode", "--pieces", "2", "--kind", "0", "ABCあ"}, "*2*21617\n18#0402\n##\n");
        ok("encode stdin", {"encode"}, "#2033#2790\n", "漢字\n");
        ok("encode dash text", {"encode", "--", "-1"}, "*2*26996\n");
        ok("no code, skipped", {"encode", "--skip", "Aa@"}, "*2*216\n");
        ok("decode", {"decode", "*2*2161718##"}, "ABC\n");
        ok("decode pieces on stdin", {"decode"}, "ABCあ\n", "*2*21617\n18#0402\n##\n");
        ok("optimize", {"optimize", "--kind", "0", "ﾒｰﾙ abc."}, "ﾒ-ﾙ ABC．\n");
        ok("count characters", {"count", "--kind", "0"}, "3\n", "あいう");
        // One line break at the end of standard input is dropped.
        bad("no code: named with positions", {"encode"}, u"\"a\" (2), \"😀\" (3), \"@\" (4); \"optimize"_qs,
            "Aa\xf0\x9f\x98\x80@\n");
        bad("skip belongs to encode", {"count", "--skip", "--kind", "0", "a"});
        bad("bad digit", {"decode", "*2*216x"});
        bad("invalid UTF-8", {"encode"}, {}, "A\xff");
        bad("no command", {});
        bad("unknown command", {"dial", "1"});
        bad("count without kind", {"count", "a"});
        bad("kind out of range", {"optimize", "--kind", "8", "a"});
        bad("pieces zero", {"encode", "--pieces", "0", "a"});
        bad("missing value", {"encode", "--kind"});
        bad("two texts", {"encode", "a", "b"});
        bad("tones without output", {"tones", "123"});
        bad("tones, no key", {"tones", "--wav", "/nonexistent/x.wav", "12-3"});
        bad("tones too short", {"tones", "--play", "--tone", "39", "1"});
        bad("tones text without kind", {"tones", "--play", "--text", "A"});
        bad("tones unwritable", {"tones", "--wav", "/nonexistent/x.wav", "1"});
        bad("tone option elsewhere", {"encode", "--gap", "100", "A"});
    }
    void runs()
    {
        const auto [args, input, output, error] = Runs::row();
        const ToolRun run = runTool(Dtmf, args, input);
        QCOMPARE(run.exitCode, output.isEmpty() ? 2 : 0);
        QCOMPARE(run.out, output);
        if (output.isEmpty()) {
            QCOMPARE(run.err.count(u'\n'), 1);
            QVERIFY2(run.err.startsWith(u"fumidori-dtmf: ") && run.err.endsWith(u'\n') && run.err.contains(error),
                     qPrintable(run.err));
        } else {
            QVERIFY(run.err.isEmpty());
        }
    }

    // --wav into what is not a regular file writes where it is: a FIFO stays a FIFO and its
    // reader gets the file, a standard stream gets it, a device is not replaced.
    void wavInPlace_data()
    {
        QTest::addColumn<QString>("target"); // "fifo": a FIFO in a temporary folder
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("standard output") << "/dev/stdout";
        QTest::newRow("a device") << "/dev/null";
    }
    void wavInPlace()
    {
        QFETCH(QString, target);
        QTemporaryDir dir;
        const QStringList keys{"tones", "--tone", "40", "--gap", "40", "--wav"};
        QCOMPARE(runTool(Dtmf, keys + QStringList{dir.filePath("ref.wav"), "1#"}).exitCode, 0);
        const QByteArray expected = readFileBytes(dir.filePath("ref.wav"));
        QVERIFY(expected.startsWith("RIFF"));
        QProcess reader;
        if (target == u"fifo") {
            target = dir.filePath("fifo");
            QVERIFY(::mkfifo(QFile::encodeName(target).constData(), 0600) == 0);
            reader.start(QStringLiteral("cat"), {target});
            QVERIFY(reader.waitForStarted());
        }
        const ToolRun run = runTool(Dtmf, keys + QStringList{target, "1#"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.err.isEmpty());
        struct stat st = {};
        QVERIFY(::stat(QFile::encodeName(target).constData(), &st) == 0);
        if (target.endsWith(u"fifo")) {
            QVERIFY(reader.waitForFinished());
            QCOMPARE(reader.readAllStandardOutput(), expected);
            QVERIFY(S_ISFIFO(st.st_mode));
        } else if (target == u"/dev/stdout") {
            QCOMPARE(run.out, expected);
        } else {
            QVERIFY(S_ISCHR(st.st_mode));
        }
    }
};

QTEST_GUILESS_MAIN(tst_dtmf)
#include "tst_dtmf.moc"
