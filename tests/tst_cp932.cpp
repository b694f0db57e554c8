#include "encoding/cp932.h"

#include <QTest>

#include <iconv.h>

// The CP932 layer against the Windows table at the points where libraries differ.
class tst_cp932 : public QObject
{
    Q_OBJECT
private slots:
    void valueMatchesWindowsTable_data()
    {
        QTest::addColumn<uint>("codePoint");
        QTest::addColumn<int>("code");
        QTest::newRow("backslash") << 0x5Cu << 0x5C;
        QTest::newRow("tilde") << 0x7Eu << 0x7E;
        QTest::newRow("fullwidth reverse solidus") << 0xFF3Cu << 0x815F;
        QTest::newRow("fullwidth tilde") << 0xFF5Eu << 0x8160;
        QTest::newRow("parallel to") << 0x2225u << 0x8161;
        QTest::newRow("fullwidth hyphen-minus") << 0xFF0Du << 0x817C;
        QTest::newRow("fullwidth cent") << 0xFFE0u << 0x8191;
        QTest::newRow("fullwidth not") << 0xFFE2u << 0x81CA;
        QTest::newRow("circled one (NEC row 13)") << 0x2460u << 0x8740;
        QTest::newRow("small roman one (IBM row)") << 0x2170u << 0xFA40;
        QTest::newRow("IBM kanji written in the IBM row") << 0x7E8Au << 0xFA5C;
        QTest::newRow("halfwidth katakana a") << 0xFF71u << 0xB1;
        QTest::newRow("halfwidth voiced mark") << 0xFF9Eu << 0xDE;
        QTest::newRow("control 1A") << 0x1Au << 0x1A;
        QTest::newRow("control 1C") << 0x1Cu << 0x1C;
        QTest::newRow("delete") << 0x7Fu << 0x7F;
        QTest::newRow("hiragana a") << 0x3042u << 0x82A0;
        QTest::newRow("yen sign not in table") << 0xA5u << -1;
        QTest::newRow("emoji") << 0x1F600u << -1;
    }
    void valueMatchesWindowsTable()
    {
        QFETCH(uint, codePoint);
        QFETCH(int, code);
        QCOMPARE(cp932::value(codePoint), code);
        QCOMPARE(cp932::canEncode(char32_t(codePoint)), code >= 0);
        if (code >= 0)
            QCOMPARE(uint(cp932::fromValue(code)), codePoint);
    }

    // The tables built into the program against iconv itself, over every code point
    // and every CP932 value: the build-time generator must not lose or invent one.
    void tablesAgreeWithIconv()
    {
        iconv_t toUnicode = iconv_open("UTF-16LE", "CP932");
        QVERIFY(toUnicode != reinterpret_cast<iconv_t>(-1));
        int characters = 0;
        for (int code = 1; code <= 0xFFFF; ++code) {
            char in[2] = {char(code >> 8), char(code & 0xFF)};
            const bool single = code <= 0xFF;
            char16_t out[4];
            char *inp = single ? in + 1 : in;
            char *outp = reinterpret_cast<char *>(out);
            size_t inLeft = single ? 1 : 2, outLeft = sizeof out;
            iconv(toUnicode, nullptr, nullptr, nullptr, nullptr);
            const bool ok = iconv(toUnicode, &inp, &inLeft, &outp, &outLeft) != size_t(-1) && inLeft == 0 &&
                            outLeft == sizeof out - 2;
            const char32_t expected = ok ? out[0] : 0;
            if (cp932::fromValue(code) != expected)
                QFAIL(qPrintable(QStringLiteral("CP932 %1 reads as U+%2, iconv says U+%3")
                                     .arg(code, 4, 16)
                                     .arg(uint(cp932::fromValue(code)), 4, 16)
                                     .arg(uint(expected), 4, 16)));
            if (ok && code > 0xFF)
                ++characters;
        }
        iconv_close(toUnicode);
        QVERIFY(characters > 7000); // iconv itself answered for the whole table

        iconv_t fromUnicode = iconv_open("CP932", "UTF-16LE");
        for (char32_t u = 0; u < 0x10000; ++u) {
            if (u >= 0xD800 && u <= 0xDFFF)
                continue;
            char16_t in = char16_t(u);
            unsigned char out[4];
            char *inp = reinterpret_cast<char *>(&in);
            char *outp = reinterpret_cast<char *>(out);
            size_t inLeft = 2, outLeft = sizeof out;
            iconv(fromUnicode, nullptr, nullptr, nullptr, nullptr);
            int expected = -1;
            if (iconv(fromUnicode, &inp, &inLeft, &outp, &outLeft) != size_t(-1)) {
                const size_t n = sizeof out - outLeft;
                const int code = n == 1 ? out[0] : out[0] << 8 | out[1];
                if (cp932::fromValue(code) == u || (code == 0 && u == 0)) // best fits are not carried
                    expected = code;
            }
            if (cp932::value(u) != expected)
                QFAIL(qPrintable(QStringLiteral("U+%1 writes as %2, iconv says %3")
                                     .arg(uint(u), 4, 16)
                                     .arg(cp932::value(u), 0, 16)
                                     .arg(expected, 0, 16)));
        }
        iconv_close(fromUnicode);
    }

    void decodesDuplicatesOfRow13AndIbmRows()
    {
        // 0xED40 (NEC-selected IBM) and 0xFA5C (IBM) both read as U+7E8A; writing picks 0xFA5C.
        QCOMPARE(cp932::decode(QByteArray("\xED\x40", 2)), QString(QChar(0x7E8A)));
        QCOMPARE(cp932::decode(QByteArray("\x87\x90", 2)), QString(QChar(0x2252)));
    }

    void roundTripsText()
    {
        const QString text = QStringLiteral("ﾒｰﾙ abc\\~ あ漢字①ⅰ～＼");
        bool ok = false;
        const QByteArray bytes = cp932::encode(text, &ok);
        QVERIFY(ok);
        QCOMPARE(cp932::decode(bytes), text);
        QCOMPARE(cp932::byteLength(text), bytes.size());
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
