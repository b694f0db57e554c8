#include "encoding/codetable.h"
#include "encoding/cp932.h"
#include "support/table.h"

#include <QMap>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>

namespace
{

QString digitsOf(const QString &message)
{
    return messagePieces(message, 32767).join(QString());
}

// The classic Shift-JIS to JIS arithmetic, written apart from the program's own.
int jisRowCell(int value)
{
    int lead = value >> 8, trail = value & 0xFF;
    lead = (lead - (lead < 0xA0 ? 0x70 : 0xB0)) * 2;
    if (trail < 0x9F) {
        --lead;
        trail -= trail >= 0x80 ? 0x20 : 0x1F;
    } else {
        trail -= 0x7E;
    }
    return (lead - 0x20) * 100 + (trail - 0x20);
}

// Every character that gets a row/cell code, by the value CP932 gives it.
QMap<int, QChar> kutenCharacters()
{
    QMap<int, QChar> chars;
    for (int v = 0x8140; v <= 0xFCFC; ++v) {
        const char32_t ch = cp932::fromValue(v);
        if (!ch || cp932::value(ch) != v)
            continue; // no character, or one CP932 writes with another value
        const QString code = CharToCode(QString(QChar(char16_t(ch))));
        if (code.size() == 4)
            chars.insert(v, QChar(char16_t(ch)));
    }
    return chars;
}

// The free-word grid as it is printed: rows 1 to 9, then 0, each with columns 1 to 9, then 0;
// '~' marks an unused code.
const QStringList kGrid{u"ｱｲｳｴｵABCDE"_qs, u"ｶｷｸｹｺFGHIJ"_qs,  u"ｻｼｽｾｿKLMNO"_qs, u"ﾀﾁﾂﾃﾄPQRST"_qs, u"ﾅﾆﾇﾈﾉUVWXY"_qs,
                        u"ﾊﾋﾌﾍﾎZ?!-/"_qs, u"ﾏﾐﾑﾒﾓ\\&~~~"_qs, u"ﾔ(ﾕ)ﾖ*# ~~"_qs, u"ﾗﾘﾙﾚﾛ12345"_qs, u"ﾜｦﾝﾞﾟ67890"_qs};

} // namespace

using CharacterCodes = table::Of<QString, QString>;

using MessageDigits = table::Of<QString, QString>;

// position: of the first wrong digit; -1: none
using Decode = table::Of<QString, QString, int>;

class tst_codetable : public QObject
{
    Q_OBJECT
private slots:
    // Every free-word code of the grid both ways; then characters near them that have none.
    void characterCodes_data()
    {
        const CharacterCodes row;
        for (int r = 0; r < 10; ++r) {
            for (int c = 0; c < 10; ++c) {
                const QString code = QString::number((r + 1) % 10) + QString::number((c + 1) % 10);
                if (kGrid[r][c] != u'~')
                    row(qPrintable(code), QString(kGrid[r][c]), code);
            }
        }
        // Row/cell codes are checked over every character by kutenSetOverEveryDoubleByteValue.
        for (const char16_t *ch : {u"a", u"ｧ", u"ｯ", u"ｰ", u"｡", u".", u"弌", u"①", u"\r", u"😀", u"", u"AB"})
            row(qPrintable(QString::fromUtf16(ch) + u'='), QString::fromUtf16(ch), QString());
    }
    void characterCodes()
    {
        const auto [ch, code] = CharacterCodes::row();
        QCOMPARE(CharToCode(ch), code);
        if (code.isEmpty())
            return;
        const DecodeResult back = decodeDigits((code.size() == 2 ? u"*2*2"_qs : u"#"_qs) + code);
        QVERIFY2(back.ok(), qPrintable(back.error));
        QCOMPARE(back.text, ch);
    }

    void unusedCodesNeverProduced()
    {
        QSet<QString> produced;
        for (char32_t c = 0; c <= 0xFFFF; ++c) {
            const QString code = CharToCode(QString(QChar(char16_t(c))));
            if (code.size() == 2)
                produced.insert(code);
        }
        QCOMPARE(produced.size(), 95); // only the grid's characters, each with its own code
        for (const char *unused : {"78", "79", "70", "89", "80"})
            QVERIFY(!decodeDigits(u"*2*2"_qs + QLatin1String(unused)).ok());
    }

    void kutenSetOverEveryDoubleByteValue()
    {
        QMap<int, int> perRow;
        const QMap<int, QChar> chars = kutenCharacters();
        for (auto it = chars.cbegin(); it != chars.cend(); ++it) {
            const int kuten = jisRowCell(it.key());
            QCOMPARE(CharToCode(QString(it.value())), QString::asprintf("%04d", kuten));
            QCOMPARE(decodeDigits(QString::asprintf("#%04d", kuten)).text, QString(it.value()));
            ++perRow[kuten / 100];
        }
        // Rows 1-8 by their assigned cells, the first-level kanji, nothing else
        // (no row 13, no second-level kanji, no vendor rows).
        QMap<int, int> expected{{1, 94}, {2, 53}, {3, 62}, {4, 83}, {5, 86}, {6, 48}, {7, 66}, {8, 32}, {47, 51}};
        for (int row = 16; row <= 46; ++row)
            expected[row] = 94;
        QCOMPARE(perRow, expected);
    }

    void messageDigits_data()
    {
        const MessageDigits row;
        row("ABC", u"ABC"_qs, u"*2*2161718"_qs);
        row("あ", u"あ"_qs, u"#0402"_qs);
        row("Aあ1", u"Aあ1"_qs, u"*2*216#0402*2*296"_qs);
        row("漢字", u"漢字"_qs, u"#2033#2790"_qs);
        row("ﾒｰﾙ", u"ﾒｰﾙ"_qs, u"*2*27493"_qs);
        row("no codes", u"abc."_qs, u"*2*2"_qs);
        row("no code after kuten", u"あa"_qs, u"#0402*2*2"_qs);
        row("line break", u"A\nB"_qs, u"*2*21617"_qs);
        row("line break after kuten", u"あ\r\nA"_qs, u"#0402*2*216"_qs);
        row("zero after kuten", u"あ0"_qs, u"#0402*2*200"_qs);
    }
    void messageDigits()
    {
        const auto [message, digits] = MessageDigits::row();
        QCOMPARE(digitsOf(message), digits);
    }

    void longRunStaysBare()
    {
        const QString digits = digitsOf(QString(40000, u'A'));
        QCOMPARE(digits, u"*2*2"_qs + u"16"_qs.repeated(40000));
        QCOMPARE(digitsOf(QString(40000, u'A') + u"あB"_qs).right(13), u"16#0402*2*217"_qs);
    }

    void roundTrip()
    {
        QList<QChar> repertoire = kutenCharacters().values();
        for (QChar c : kGrid.join(QString())) {
            if (c != u'~')
                repertoire.append(c);
        }
        QRandomGenerator random(932);
        for (int n = 0; n < 500; ++n) {
            QString text;
            for (int i = random.bounded(1, 40); i > 0; --i)
                text += repertoire[random.bounded(int(repertoire.size()))];
            const int sendStrings = random.bounded(1, 21);
            const DecodeResult back = decodeDigits(messagePieces(text, sendStrings).join(u'\n') + u"\n##"_qs);
            QVERIFY2(back.ok(), qPrintable(back.error));
            QCOMPARE(back.text, text);
        }
    }

    void decode_data()
    {
        const Decode row;
        row("run and end mark", u"*2*2161718##"_qs, u"ABC"_qs, -1);
        row("kuten, one-key end mark", u"#0402#"_qs, u"あ"_qs, -1);
        row("bare codes", u"1718"_qs, u"BC"_qs, -1);
        row("nothing", {}, {}, -1);
        row("letter", u"*2*216x"_qs, {}, 6);
        row("space", u"16 17"_qs, {}, 2);
        row("odd digit", u"*2*2161"_qs, {}, 6);
        row("unused code", u"16*2*279"_qs, {}, 6);
        row("bare code after kuten", u"#040216"_qs, {}, 5);
        row("broken run mark", u"*2*3"_qs, {}, 0);
        row("short kuten", u"16#12"_qs, {}, 2);
        row("end mark inside", u"##16"_qs, {}, 0);
        row("row 13", u"#1301"_qs, {}, 0);
        row("second level", u"#4801"_qs, {}, 0);
        row("gap in row 2", u"16#0215"_qs, {}, 2);
        row("position counts line breaks", u"16\n\n1x"_qs, {}, 4);
    }
    void decode()
    {
        const auto [digits, text, position] = Decode::row();
        const DecodeResult result = decodeDigits(digits);
        QCOMPARE(result.errorPosition, position);
        QCOMPARE(result.error.isEmpty(), position < 0);
        if (position < 0)
            QCOMPARE(result.text, text);
    }
};

QTEST_GUILESS_MAIN(tst_codetable)
#include "tst_codetable.moc"
