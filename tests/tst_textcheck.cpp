#include "encoding/codetable.h"
#include "encoding/cp932.h"
#include "encoding/textcheck.h"
#include "support/table.h"

#include <QTest>

using namespace textcheck;

namespace
{

bool allHaveCodes(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return !CharToCode(QString(c)).isEmpty(); });
}

const QString kNarrowingSet =
    u"アイウエオカガキギクグケゲコゴサザシジスズセゼソゾタダチヂツヅテデトドナニヌネノハバパヒビピフブプヘベペホボポマ"
    u"ミムメモ"
    u"ヤユヨラリルレロヮワヰヱヲンヴヵヶＡＢＣＤＥＦＧＨＩＪＫＬＭＮＯＰＱＲＳＴＵＶＷＸＹＺ０１２３４５６７８９"
    u"？！－／￥＆＊＃　（）"_qs;
const QString kWideningSet = u"\"$%'+,.:;<=>@[]^_`{|}~ｧｨｩｪｫｯｬｭｮ｡｢｣､･"_qs;

} // namespace

using Counts = table::Of<QString, int, int>;

using Conversions = table::Of<int, QString, QString>;

class tst_textcheck : public QObject
{
    Q_OBJECT
private slots:
    void counts_data()
    {
        const Counts row;
        row("kana, NTT DoCoMo", u"あいう"_qs, 0, 3);
        row("kana, katakana DoCoMo", u"あいう"_qs, 1, 3);
        row("kana, J-PHONE", u"あいう"_qs, 2, 6);
        row("half-width kana, bytes", u"ｱｲｳ"_qs, 4, 3);
        row("mixed, bytes", u"ﾒｰﾙ abc漢"_qs, 7, 9);
        row("line break, characters", u"a\nb"_qs, 0, 4);
        row("line break, bytes", u"a\nb"_qs, 2, 4);
        row("CR LF as given", u"a\r\nb"_qs, 0, 4);
        row("no centre counts bytes", u"漢"_qs, -1, 2);
        row("emoji is one", u"😀"_qs, 3, 1);
        row("empty", {}, 0, 0);
    }
    void counts()
    {
        const auto [text, kind, expected] = Counts::row();
        QCOMPARE(count(text, kind), expected);
    }

    void conversions_data()
    {
        const Conversions row;
        row("0 hiragana", 0, u"ぁがぱゝゞをん"_qs, u"ァガパヽヾヲン"_qs);
        row("0 others stay", 0, u"ーアｱ漢a"_qs, u"ーアｱ漢a"_qs);
        row("1 voiced", 1, u"ガパヴ"_qs, u"ｶﾞﾊﾟｳﾞ"_qs);
        row("1 small kana, ー", 1, u"ァッャー"_qs, u"ｧｯｬｰ"_qs);
        row("1 no own form", 1, u"ヮヰヱヵヶ"_qs, u"ﾜｲｴｶｹ"_qs);
        row("1 punctuation", 1, u"。「」、・゛゜"_qs, u"｡｢｣､･ﾞﾟ"_qs);
        row("1 spaces, yen", 1, u"　￥＼"_qs, u" \\\\"_qs);
        row("1 letters, quotes", 1, u"ＡｂＣ１’”～"_qs, u"AbC1'\"~"_qs);
        row("1 no counterpart", 1, u"あ漢￣“"_qs, u"あ漢￣“"_qs);
        row("2 upper", 2, u"abcａｂｃαяⅰ"_qs, u"ABCＡＢＣΑЯⅠ"_qs);
        row("4 katakana", 4, u"ァガパヽヾヲン"_qs, u"ぁがぱゝゞをん"_qs);
        row("4 others stay", 4, u"ヴヵヶーｱ"_qs, u"ヴヵヶーｱ"_qs);
        row("5 voiced joined", 5, u"ｶﾞﾊﾟｳﾞ"_qs, u"ガパヴ"_qs);
        row("5 marks alone", 5, u"ｱﾞﾞﾟ"_qs, u"ア゛゛゜"_qs);
        row("5 small kana, ｰ", 5, u"ｧｯｰ｡"_qs, u"ァッー。"_qs);
        row("5 ascii", 5, u"A1a \\\"'~"_qs, u"Ａ１ａ　￥”’～"_qs);
        row("5 line break stays", 5, u"a\nb"_qs, u"ａ\nｂ"_qs);
        row("6 lower", 6, u"ABCＡＢＣΑЯⅠ"_qs, u"abcａｂｃαяⅰ"_qs);
        row("3 is no conversion", 3, u"abc"_qs, u"abc"_qs);
    }
    void conversions()
    {
        const auto [item, input, output] = Conversions::row();
        QCOMPARE(convert(item, input), output);
    }

    void optimiserExamples()
    {
        QCOMPARE(OptimizeForKanji(u"ﾒｰﾙ abc."_qs), u"ﾒ-ﾙ ABC．"_qs);
        QCOMPARE(OptimizeForKana(u"めーる"_qs), u"ﾒーﾙ"_qs);
        QCOMPARE(OptimizeForKana(u"がａz"_qs), u"ｶﾞAZ"_qs);
        QCOMPARE(OptimizeForKanji(u"ガＡ￥ぁァー"_qs), u"ｶﾞA\\ぁァー"_qs);
        const QString small = u"ぁぃぅぇぉっゃゅょ"_qs;
        QCOMPARE(OptimizeForKana(small), u"ｧｨｩｪｫｯｬｭｮ"_qs);
        QCOMPARE(OptimizeForKana(OptimizeForKana(small)), u"ｱｲｳｴｵﾂﾔﾕﾖ"_qs);
        for (int kind : {-1, 7, 8})
            QCOMPARE(optimize(kind, u"ﾒｰﾙ abc."_qs), u"ﾒｰﾙ abc."_qs);
        QCOMPARE(optimize(3, u"a"_qs), u"A"_qs);
        QCOMPARE(optimize(5, u"あ"_qs), u"ｱ"_qs);
    }

    // What the optimisers narrow gets free-word codes; what they widen, row/cell codes.
    void optimisedSetsGetCodes()
    {
        for (QChar c : kNarrowingSet) {
            const QString kanji = OptimizeForKanji(c);
            QCOMPARE(OptimizeForKana(c), kanji);
            QVERIFY2(kanji != QString(c) && kanji.size() <= 2, qPrintable(kanji));
            for (QChar h : kanji)
                QVERIFY2(CharToCode(QString(h)).size() == 2, qPrintable(QString(c)));
        }
        for (QChar c : kWideningSet) {
            const QString wide = OptimizeForKanji(c);
            QVERIFY2(wide.size() == 1 && CharToCode(wide).size() == 4, qPrintable(QString(c)));
        }
    }

    void everyResultIsEncodable()
    {
        QStringList chars; // every character CP932 carries
        for (char32_t c = 1; c <= 0xFFFF; ++c) {
            if (cp932::canEncode(c))
                chars.append(QString(QChar(char16_t(c))));
        }
        const QString pairs = u"ｶﾞﾊﾟｳﾞｱﾞ"_qs;
        for (int item : {0, 1, 2, 4, 5, 6}) {
            QVERIFY(cp932::canEncode(convert(item, pairs)));
            for (const QString &c : chars)
                QVERIFY2(cp932::canEncode(convert(item, c)), qPrintable(u"item %1: "_qs.arg(item) + c));
        }
        for (const QString &c : chars) {
            const QString kanji = OptimizeForKanji(c);
            QVERIFY(cp932::canEncode(kanji) && cp932::canEncode(OptimizeForKana(c)));
            QVERIFY2(kanji == c || allHaveCodes(kanji), qPrintable(c));
        }
    }

    void keepsOnlyEncodable()
    {
        bool removed = false;
        QCOMPARE(keepEncodable(u"a😀b¥é漢\n"_qs, &removed), u"ab漢\n"_qs);
        QVERIFY(removed);
        QCOMPARE(keepEncodable(u"ﾒｰﾙ①"_qs, &removed), u"ﾒｰﾙ①"_qs);
        QVERIFY(!removed);
    }
};

QTEST_GUILESS_MAIN(tst_textcheck)
#include "tst_textcheck.moc"
