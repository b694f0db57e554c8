#include "support/filehelpers.h"
#include "support/table.h"

#include "encoding/cp932.h"
#include "store/appdata.h"
#include "store/numbertext.h"
#include "store/profile.h"
#include "store/settingsfile.h"

#include <QTemporaryDir>
#include <QTest>

namespace
{

// The address book in one line, for comparing against a table column.
QString summary(const AppData &d)
{
    QStringList parts;
    const auto n = [](int value) { return QString::number(value); };
    for (const MessageCenter &c : d.centers)
        parts << QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
                     .arg(c.name, n(c.kind), c.number, n(c.maxChars), n(c.waitBeforeNumber), n(c.waitBeforeMail),
                          n(c.waitBeforeHangUp));
    for (const Recipient &r : d.recipients)
        parts << QStringLiteral("%1|%2|%3").arg(r.name).arg(r.centerIndex).arg(r.number);
    return parts.join(u';');
}

} // namespace

using OptionalKeys = table::Of<QByteArray, QByteArray>;

// leading: 99999: out of range; whole: 99999: out of range, -99999: not a number
using Numbers = table::Of<QByteArray, int, int>;

using Records = table::Of<QByteArray, QString>;

using Profile = table::Of<QByteArray, QByteArray, QByteArray>;

class tst_SettingsFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sampleReadsAndWritesBackIdentical()
    {
        const QByteArray original = storeTestData("sample.ini");
        QVERIFY(!original.isEmpty());
        AppData data;
        QVERIFY(!settingsfile::read(original, data));
        QCOMPARE(data.settings.ModemKind, qint16(6));
        QCOMPARE(data.settings.ExCommand, QStringLiteral("AT&F"));
        QCOMPARE(data.history.rowCount(), 6);
        QCOMPARE(summary(data), QStringLiteral("ドコモ東京|0|0570-000-111|160|5|3|2;ｶﾀｶﾅ局|1|0570000222|-5|0|0|0;"
                                               "未設定|-1||-32768|-1|32767|10;山田さん|0|09012345678;鈴木|2|"
                                               "0311112222;だれか|-1|"));
        QCOMPARE(settingsfile::bytes(data), original); // byte for byte
    }

    // The keys of newer features (tone lengths, the SIP account): any problem reads as the
    // default, no error; a value is written after MailInterval only when it is not the default.
    void optionalKeys_data()
    {
        const OptionalKeys row;
        row("both", "ToneGap=200\r\nToneLength=60", "ToneLength=60\r\nToneGap=200\r\n");
        row("limits", "ToneGap=40\r\nToneLength=500", "ToneLength=500\r\nToneGap=40\r\n");
        row("defaults not written", "ToneLength=100\r\nToneGap=100", {});
        row("out of range", "ToneLength=39\r\nToneGap=501", {});
        row("not numbers", "ToneLength=abc\r\nToneGap=99999", {});
        row("trailing text", "ToneLength=80ms\r\nToneGap=-80", {});
        row("SIP account", "SipUser=0501234\r\nToneGap=200\r\nSipServer=sip.example.jp:5070",
            QByteArray("ToneGap=200\r\nSipServer=sip.example.jp:5070\r\nSipUser=0501234\r\n"));
        row("SIP over TLS through a proxy", "SipProxy=proxy.example.jp\r\nSipTransport=TLS\r\nSipServer=sip.example.jp",
            "SipServer=sip.example.jp\r\nSipTransport=tls\r\nSipProxy=proxy.example.jp\r\n");
        row("SIP over UDP not written", "SipTransport=udp", {});
        row("unknown transport reads as UDP", "SipTransport=sctp", {});
        row("the ModemManager module last", "VoiceModem=490154203237518\r\nSipProxy=p.example.jp",
            "SipProxy=p.example.jp\r\nVoiceModem=490154203237518\r\n");
    }
    void optionalKeys()
    {
        const auto [stored, written] = OptionalKeys::row();
        AppData data;
        QVERIFY(!settingsfile::read(
            "[Option]\r\nModemKind=9\r\nMailInterval=3\r\n" + stored + "\r\n\r\n[Information]\r\n", data));
        const QByteArray bytes = settingsfile::bytes(data);
        QVERIFY2(bytes.contains("\r\nModemKind=9\r\n"), bytes);
        QVERIFY2(bytes.contains("\r\nMailInterval=3\r\n" + written + "\r\n[Information]\r\n"), bytes);
        AppData again;
        QVERIFY(!settingsfile::read(bytes, again));
        QCOMPARE(again.settings, data.settings);
    }

    void records_data()
    {
        const Records table;
        const auto row = [&](const char *name, int centers, int recipients, const QByteArray &tail,
                             const char *expected) {
            table(name,
                  "[Option]\r\nCentorCount=" + QByteArray::number(centers) +
                      "\r\nNumberCount=" + QByteArray::number(recipients) + "\r\nHistoryCount=3\r\n\r\n" + tail,
                  QString::fromUtf8(expected));
        };
        row("layout as written", 1, 1, "[Information]\r\nA,0\r\n123\r\n 160 \r\n5,3,2\r\nR,0\r\n9\r\n",
            "A|0|123|160|5|3|2;R|0|9");
        row("one line, blanks skipped", 1, 1, "[Information]\r\n  A,  2,123, 160 , 5 ,3,2,B , -1 ,9",
            "A|2|123|160|5|3|2;B |-1|9");
        row("quotes keep commas", 0, 1, "[Information]\r\n\"R,1\" x,0,\" 9 \"\r\n", "R,1|0| 9 ");
        row("word found as a field", 0, 1, "[Information],R,1,9\r\n", "R|1|9");
        row("leading numbers, halves to even", 1, 0, "[Information]\r\nA,2.5kind\r\n1\r\n 3.5 \r\n0.5,1.5,2.5\r\n",
            "A|2|1|4|0|2|2");
        row("lone LF and CR end lines", 0, 2, "[Information]\nR,1\r9\nS,0\n8", "R|1|9;S|0|8");
        row("rest ignored", 0, 0, "[Information]\r\ngarbage,,\"", "");
        row("other case not the section", 0, 0, "[information]\r\n", "error");
        row("fewer records than counted", 1, 1, "[Information]\r\nA,0\r\n1\r\n2\r\n3,4,5\r\nR,0", "error");
        row("wait not a number", 1, 0, "[Information]\r\nA,0\r\n1\r\n2\r\n3,x,5\r\n", "error");
        row("number out of range", 0, 1, "[Information]\r\nR,40000,9\r\n", "error");
        row("negative count", -1, 0, "[Information]\r\n", "error");
        table("negative HistoryCount", "[Option]\r\nHistoryCount=-1\r\n[Information]\r\n", "error");
        table("setting out of range", "[Option]\r\nPortNumber=32768\r\n[Information]\r\n", "error");
    }

    void records()
    {
        const auto [file, expected] = Records::row();
        AppData data;
        data.centers = {MessageCenter{QStringLiteral("before"), 0, {}, 0, 0, 0, 0}};
        const std::optional<StoreError> error = settingsfile::read(file, data);
        if (expected == QLatin1String("error")) {
            QVERIFY(error);
            QCOMPARE(error->fileName, QStringLiteral("Fumidori.ini"));
            QVERIFY(!error->detail.isEmpty());
            QCOMPARE(summary(data), QStringLiteral("before|0||0|0|0|0")); // left as it was
        } else {
            QVERIFY2(!error, qPrintable(error ? error->detail : QString()));
            QCOMPARE(summary(data), expected);
        }
    }

    void missingKeysGiveZeroAndEmpty()
    {
        AppData data;
        data.settings = Settings::defaults();
        QVERIFY(!settingsfile::read("[Option]\r\nOutSide=\r\nExCommand=\r\n\r\n[Information]\r\n", data));
        QCOMPARE(data.settings, Settings());
        QCOMPARE(data.history.rowCount(), 1); // HistoryCount 0, not 20
    }

    void profile_data()
    {
        const Profile row;
        const QByteArray a300(300, 'a');
        row("case", "[oPTION]\r\nhistorycount=7\r\n", "HistoryCount", "7");
        row("trimmed", " [ Option ] \r\n\t Key \t=  a b \t\r\n", "key", "a b");
        row("missing key", "[Option]\r\nA=1\r\n", "B", {});
        row("other section", "[Other]\r\nA=1\r\n[Option]\r\nB=2\r\n", "A", {});
        row("first section and key", "[Option]\r\nA=1\r\nA=2\r\n[Option]\r\nA=3\r\n", "A", "1");
        row("cut at 254 bytes", "[Option]\r\nA=" + a300, "A", a300.left(254));
        row("no half character", "[Option]\r\nA=" + QByteArray(253, 'a') + "\x82\xa0", "A", QByteArray(253, 'a'));
        row("cut at NUL", QByteArray("[Option]\r\nA=ab\0cd\r\n", 18), "A", "ab");
        row("empty value", "[Option]\r\nOutSide=\r\n", "OutSide", {});
        row("quotes removed, blanks inside kept", "[Option]\r\nA= \" x \" \r\n", "A", " x ");
        row("empty quotes", "[Option]\r\nA=\"\"\r\n", "A", {});
        row("only one pair", "[Option]\r\nA=\"\"x\"\"\r\n", "A", "\"x\"");
        row("opening quote alone", "[Option]\r\nA=\"X3\r\n", "A", "\"X3");
        row("closing quote alone", "[Option]\r\nA=X3\"\r\n", "A", "X3\"");
        row("a lone mark", "[Option]\r\nA=\"\r\n", "A", "\"");
        row("quotes before the cut", "[Option]\r\nA=\"" + a300 + "\"", "A", a300.left(254));
    }

    void profile()
    {
        const auto [file, key, expected] = Profile::row();
        QCOMPARE(profileString(file, "Option", key), expected);
    }

    // Start-up and ReadOption see the same values; what is written back is the value held, unquoted.
    void quotedValuesOfEveryType()
    {
        QTemporaryDir dir;
        const QByteArray file = "[Option]\r\nCentorCount=\"0\"\r\nPortNumber=\"3\"\r\nHistoryCount=\" 5\"\r\n"
                                "TonePulse=\"P\"\r\nExCommand=\"X3\"\r\nOutSide=\" 0 \"\r\n\r\n[Information]\r\n";
        QVERIFY(writeFileBytes(dir.filePath(QStringLiteral("Fumidori.ini")), file));
        AppData data;
        QVERIFY(!settingsfile::read(file, data));
        const QString folder = dir.path() + u'/';
        QCOMPARE(ReadOption(folder, QStringLiteral("Option"), QStringLiteral("ExCommand")), data.settings.ExCommand);
        QCOMPARE(ReadOption(folder, QStringLiteral("Option"), QStringLiteral("PortNumber")), QStringLiteral("3"));
        const QByteArray written = settingsfile::bytes(data);
        for (const char *line : {"\r\nPortNumber=3\r\n", "\r\nHistoryCount=5\r\n", "\r\nTonePulse=P\r\n",
                                 "\r\nExCommand=X3\r\n", "\r\nOutSide= 0 \r\n"})
            QVERIFY2(written.contains(line), written);
    }

    void numbers_data()
    {
        const Numbers row;
        row("plain", "12", 12, 12);
        row("blanks", "  7 ", 7, 7);
        row("trailing text", "12abc", 12, -99999);
        row("no number", "abc", 0, -99999);
        row("empty", {}, 0, -99999);
        row("2.5 to even", "2.5", 2, 2);
        row("3.5 to even", "3.5", 4, 4);
        row("-2.5 to even", "-2.5", -2, -2);
        row("top", "32767", 32767, 32767);
        row("bottom", "-32768", -32768, -32768);
        row("over", "32768", 99999, 99999);
        row("huge", "99999999999999999999999", 99999, 99999);
    }

    void numbers()
    {
        const auto [text, leading, whole] = Numbers::row();
        auto asInt = [](numbertext::Result r) {
            return r.status == numbertext::Status::OutOfRange   ? 99999
                   : r.status == numbertext::Status::NotANumber ? -99999
                                                                : int(r.value);
        };
        QCOMPARE(asInt(numbertext::leading(text)), leading);
        QCOMPARE(asInt(numbertext::whole(text)), whole);
    }

    // The address book editor's advice reads the number as written, not rounded.
    void leadingBelow()
    {
        const struct {
            const char *text;
            bool belowOne, belowZero;
        } rows[] = {{"0.5", true, false},     {"0.6", true, false},     {" 1x", false, false}, {"12abc", false, false},
                    {"abc", true, false},     {"-0.0", true, false},    {"-0.01", true, true}, {".5", true, false},
                    {"-9999999", true, true}, {"9999999", false, false}};
        for (const auto &r : rows) {
            QVERIFY2(numbertext::leadingBelow(r.text, 1) == r.belowOne, r.text);
            QVERIFY2(numbertext::leadingBelow(r.text, 0) == r.belowZero, r.text);
        }
    }
};

QTEST_GUILESS_MAIN(tst_SettingsFile)
#include "tst_settingsfile.moc"
