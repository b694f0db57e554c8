// Numbers as typed and as keyed: what is written only to be read (spaces, hyphens,
// parentheses, dots) is dropped, full-width digits are keyed as the ASCII ones, and any
// other character stops the send before the call, in the window's engine, in
// fumidori-send and in the queue. Nothing is keyed that differs from what is shown.
#include "support/enginerig.h"
#include "support/filehelpers.h"
#include "support/sendfolder.h"
#include "support/sendrig.h"
#include "support/table.h"

#include "gateway/prepare.h"
#include "store/dialnumber.h"
#include "store/sendqueue.h"

#include <QTest>

// keyed: empty: refused; refusing: what the refusal names
using Normalized = table::Of<QString, bool, QString, QString>;

using EditorKeepsAsciiDigits = table::Of<QString, QString>;

// called: the dial command; empty: refused before the call
using WindowKeys = table::Of<QString, QString, QByteArray, QByteArray, QString>;

// number: --number; empty: the book's recipient; keyed: empty: refused, naming the character below
using SenderKeys = table::Of<int, QString, QString, QString, QString, QString, QString>;

class tst_Numbers : public QObject
{
    Q_OBJECT
private slots:
    void normalized_data()
    {
        const Normalized row;
        row("hyphens and spaces", "090-1234 5678", false, "09012345678", "");
        row("full-width hyphen and long vowel mark", "０９０－１２３４ー５６７８", false, "09012345678", "");
        row("half-width long vowel mark, dashes", "090ｰ12‐34–56−78", false, "09012345678", "");
        row("parentheses and dots", "(03) 1234.5678", false, "0312345678", "");
        row("full-width ones", "（０３）１２３４．５６７８・９", false, "03123456789", "");
        row("ideographic space and tab", "090\u30001234\t5", false, "09012345", "");
        row("star and hash, full-width too", "＊２＃*3#", false, "*2#*3#", "");
        row("Arabic-Indic digits", "٠٩٠١٢", false, "", "U+0660");
        row("circled digit", "090①", false, "", "U+2460");
        row("letter", "090ABC", false, "", "「A」(U+0041)");
        row("dial modifier R", "090R", false, "", "U+0052");
        row("plus", "+8190", false, "", "U+002B");
        row("beyond 16 bits", "090😀", false, "", "U+1F600");
        row("pause in a keyed number", "0,090", false, "", "U+002C");
        row("pause and wait in an AT centre", "0,W０５７０", true, "0,W0570", "");
        row("full-width pause, lower-case wait", "0，w0570", true, "0,W0570", "");
        row("other letter in an AT centre", "0570P", true, "", "U+0050");
        row("separators alone", "--　", false, "", "番号がありません");
        row("empty", "", true, "", "番号がありません");
    }
    void normalized()
    {
        const auto [typed, atCenter, keyed, refusing] = Normalized::row();
        const dialnumber::Number n =
            dialnumber::normalized(typed, atCenter ? dialnumber::Kind::AtCenter : dialnumber::Kind::Keyed);
        QCOMPARE(n.digits, keyed);
        QCOMPARE(n.ok(), refusing.isEmpty());
        QVERIFY2(n.problem.contains(refusing), qPrintable(n.problem));
    }
    void editorKeepsAsciiDigits_data()
    {
        const EditorKeepsAsciiDigits row;
        row("full-width digits, star, hash", "０９０＊＃", "090*#");
        row("separators stay as typed", "０９０－１　(２)", "090－1　(2)");
        row("other digits stay, to be refused at use", "٠٩A", "٠٩A");
    }
    // One character for one: the field's cursor stays where it was.
    void editorKeepsAsciiDigits()
    {
        const auto [typed, stored] = EditorKeepsAsciiDigits::row();
        QCOMPARE(dialnumber::asciiDigits(typed), stored);
    }
    void windowKeys_data()
    {
        const WindowKeys row;
        row("as typed with the input method on", "０５７０－０００－１１１", "０９０ー１２３４ー５６７８",
            "ATD0570000111T;\r", "ATD09012345678#;\r", "");
        row("pause and wait in the centre", "0,W0570000111", "09012345678", "ATD0,W0570000111T;\r",
            "ATD09012345678#;\r", "");
        row("letter in the recipient's number", "0570000111", "090ABC", {}, {},
            "相手先「R」の番号に使えない文字があります: 「A」(U+0041)");
        row("other digits in the recipient's number", "0570000111", "٠٩٠", {}, {}, "U+0660");
        row("a # inside the recipient's number: it would end it", "0570000111", "090＃1234", {}, {},
            "相手先「R」の番号に 「＃」(U+FF03) があります");
        row("33 digits", "0570000111", QString(33, u'9'), {}, {}, "33 桁");
        row("dial modifier in the centre's number", "0570R", "09012345678", {}, {},
            "センター「C」の番号に使えない文字があります: 「R」(U+0052)");
    }
    // The window's engine: both numbers are checked before the call, and nothing is written
    // to the modem when one cannot be keyed.
    void windowKeys()
    {
        const auto [center, recipient, called, keyed, refusal] = WindowKeys::row();
        EngineRig rig; // answering every command with OK, as a modem does
        rig.oneCentre(0, 3, center, recipient);
        rig.view.mail = QStringLiteral("ABC");
        rig.answerCommands();
        rig.press();
        if (called.isEmpty()) {
            QCOMPARE(rig.port.writes, QByteArrayList());
            QCOMPARE(rig.view.errorsShown.size(), 1);
            QVERIFY2(rig.view.errorsShown[0].contains(refusal), qPrintable(rig.view.errorsShown[0]));
            return;
        }
        QVERIFY(rig.port.writes.contains(called));
        rig.press();
        QCOMPARE(rig.port.writes.last(), keyed);
        QCOMPARE(rig.view.errorsShown, QStringList());
    }
    void senderKeys_data()
    {
        const SenderKeys row;
        row("full-width --number", 0, "0570000111", "", "０９０－１２３４", "0570000111", "0901234", "");
        row("full-width in the book", 0, "（０５７０）０００．１１１", "０９０ ー １２３４", "", "0570000111",
            "0901234", "");
        row("Arabic-Indic --number", 0, "0570000111", "", "٠٩٠", "", "", "U+0660");
        row("letter in the book", 0, "0570000111", "090ABC", "", "", "", "相手先「R」");
        // The book's fields are separated by commas: a pause is stored full-width.
        row("pause and wait in a modem's centre", 0, "0，W0570000111", "090", "", "0,W0570000111", "090", "");
        row("wait in a SIP centre", 10, "0W0570000111", "090", "", "", "", "センター「C」");
        row("wait in a recipient's number", 0, "0570000111", "0W90", "", "", "", "U+0057");
        row("a # inside the book's number", 0, "0570000111", "090#12", "", "", "", "相手先「R」の番号に 「#」");
    }
    // fumidori-send and the queue runner check through the same step: what it hands the call
    // is the keyed form; a number that cannot be keyed is refused (exit 2).
    void senderKeys()
    {
        const auto [kind, center, bookNumber, number, keyedCenter, keyed, refusing] = SenderKeys::row();
        TempDir dir;
        const QString folder = makeSendFolder(dir.path(), center, bookNumber.isEmpty() ? "1" : bookNumber, kind);
        QVERIFY(!folder.isEmpty());
        const Target target{number.isEmpty() ? "R" : "", number, number.isEmpty() ? "" : "C", false};
        const auto prepared = prepare(folder, target, "ABC");
        if (keyed.isEmpty()) {
            const Outcome *refusal = std::get_if<Outcome>(&prepared);
            QVERIFY(refusal);
            QCOMPARE(refusal->status(), ExitStatus::BadInput);
            QVERIFY2(refusal->message.contains(refusing), qPrintable(refusal->message));
            return;
        }
        const Prepared *p = std::get_if<Prepared>(&prepared);
        QVERIFY2(p, p ? "" : qPrintable(std::get<Outcome>(prepared).message));
        QCOMPARE(p->number, keyed);
        QCOMPARE(p->center.number, keyedCenter);
    }
    void toolsRefuse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("send") << QStringList{"--number", "٠٩٠", "--center", "C", "ABC"};
        QTest::newRow("queue add") << QStringList{"queue", "add", "--number", "090ABC", "--center", "C", "ABC"};
    }
    // Exit 2 naming the character, and nothing queued.
    void toolsRefuse()
    {
        QFETCH(QStringList, args);
        TempDir dir;
        const QString folder = makeSendFolder(dir.path());
        QVERIFY(!folder.isEmpty());
        const ToolRun run =
            runTool(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"), QStringList{"--folder", folder} + args);
        QVERIFY2(run.exitCode == 2, qPrintable(run.err));
        QVERIFY2(run.err.contains(args.contains("add") ? "「A」(U+0041)" : "U+0660"), qPrintable(run.err));
        QCOMPARE(sendqueue::waitingIds(folder), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_Numbers)
#include "tst_numbers.moc"
