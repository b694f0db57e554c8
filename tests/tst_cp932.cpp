#include "encoding/cp932.h"

#include <QTest>

#include <iconv.h>

namespace
{

// What iconv makes of the bytes of one character; empty when it refuses them.
QByteArray viaIconv(iconv_t cd, const char *in, size_t inLeft)
{
    char out[8];
    char *inp = const_cast<char *>(in), *outp = out;
    size_t outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == size_t(-1) || inLeft != 0)
        return {};
    return QByteArray(out, qsizetype(sizeof out - outLeft));
}

} // namespace

// The CP932 layer against the Windows table at the points where libraries differ.
class tst_cp932 : public QObject
{
    Q_OBJECT
private slots:
    void valueMatchesWindowsTable()
    {
        // Backslash and tilde stay ASCII; the full-width forms, the NEC row 13 (circled one), the
        // IBM rows (small roman one; a kanji with two values is written with its IBM value),
        // half-width katakana and controls by their Windows values; the yen sign and emoji have none.
        const QList<QPair<char32_t, int>> table{{0x5C, 0x5C},     {0x7E, 0x7E},     {0xFF3C, 0x815F}, {0xFF5E, 0x8160},
                                                {0x2225, 0x8161}, {0xFF0D, 0x817C}, {0xFFE0, 0x8191}, {0xFFE2, 0x81CA},
                                                {0x2460, 0x8740}, {0x2170, 0xFA40}, {0x7E8A, 0xFA5C}, {0xFF71, 0xB1},
                                                {0xFF9E, 0xDE},   {0x1A, 0x1A},     {0x1C, 0x1C},     {0x7F, 0x7F},
                                                {0x3042, 0x82A0}, {0xA5, -1},       {0x1F600, -1}};
        for (const auto &[codePoint, code] : table) {
            QCOMPARE(cp932::value(codePoint), code);
            QCOMPARE(cp932::canEncode(codePoint), code >= 0);
            if (code >= 0)
                QCOMPARE(cp932::fromValue(code), codePoint);
        }
    }

    // The tables built into the program against iconv itself, over every code point
    // and every CP932 value: the build-time generator must not lose or invent one.
    void tablesAgreeWithIconv()
    {
        iconv_t toUnicode = iconv_open("UTF-16LE", "CP932");
        QVERIFY(toUnicode != reinterpret_cast<iconv_t>(-1));
        int characters = 0;
        for (int code = 1; code <= 0xFFFF; ++code) {
            const char in[2] = {char(code >> 8), char(code)};
            const QByteArray out = code <= 0xFF ? viaIconv(toUnicode, in + 1, 1) : viaIconv(toUnicode, in, 2);
            const char32_t expected = out.size() == 2 ? uchar(out[0]) | uchar(out[1]) << 8 : 0;
            if (cp932::fromValue(code) != expected)
                QFAIL(qPrintable(QStringLiteral("CP932 %1 reads as U+%2, iconv says U+%3")
                                     .arg(code, 4, 16)
                                     .arg(uint(cp932::fromValue(code)), 4, 16)
                                     .arg(uint(expected), 4, 16)));
            if (expected && code > 0xFF)
                ++characters;
        }
        iconv_close(toUnicode);
        QVERIFY(characters > 7000); // iconv itself answered for the whole table

        iconv_t fromUnicode = iconv_open("CP932", "UTF-16LE");
        for (char32_t u = 0; u < 0x10000; ++u) {
            if (u >= 0xD800 && u <= 0xDFFF)
                continue;
            const char in[2] = {char(u), char(u >> 8)};
            const QByteArray out = viaIconv(fromUnicode, in, 2);
            const int code = out.size() == 1   ? uchar(out[0])
                             : out.size() == 2 ? uchar(out[0]) << 8 | uchar(out[1])
                                               : -1;
            // Best fits are not carried.
            const int expected = code >= 0 && (cp932::fromValue(code) == u || code == 0) ? code : -1;
            if (cp932::value(u) != expected)
                QFAIL(qPrintable(QStringLiteral("U+%1 writes as %2, iconv says %3")
                                     .arg(uint(u), 4, 16)
                                     .arg(cp932::value(u), 0, 16)
                                     .arg(expected, 0, 16)));
        }
        iconv_close(fromUnicode);
    }

    void roundTripsText()
    {
        const QString text = QStringLiteral("ﾒｰﾙ abc\\~ あ漢字①ⅰ～＼");
        bool ok = false;
        const QByteArray bytes = cp932::encode(text, &ok);
        QVERIFY(ok);
        QCOMPARE(cp932::decode(bytes), text);
        QCOMPARE(cp932::byteLength(text), bytes.size());
        // 0xED40 (NEC-selected IBM) reads as U+7E8A like 0xFA5C, the NEC row 13's ≒ as U+2252.
        QCOMPARE(cp932::decode(QByteArray("\xED\x40\x87\x90", 4)), QStringLiteral("\u7E8A\u2252"));
    }

    void marksWhatItCannotCarry()
    {
        bool ok = true;
        QCOMPARE(cp932::encode(QStringLiteral("a\U0001F600b"), &ok), QByteArray("a?b"));
        QVERIFY(!ok);
        QCOMPARE(cp932::firstUnencodable(QStringLiteral("aé\U0001F600")), char32_t(0xE9));
        QVERIFY(cp932::canEncode(QStringLiteral("ｱあ亜")));
        ok = true;
        cp932::decode(QByteArray("\x81", 1), &ok);
        QVERIFY(!ok);
    }
};

QTEST_APPLESS_MAIN(tst_cp932)
#include "tst_cp932.moc"
