#include "support/fakeplatform.h"

#include "app/reporterror.h"
#include "store/apperror.h"

#include <QTemporaryFile>
#include <QTest>
#include <unistd.h>

namespace
{

struct RecordingTarget : ReportTarget {
    QStringList restored;
    void restoreAfterPortFailure(const QString &panel1Text) override { restored << panel1Text; }
};

} // namespace

class tst_ReportError : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void reportTextLineByLine()
    {
        FakePlatform fake;
        ReportError(QStringLiteral("dlgAdd"), QStringLiteral("OKButton_Click"),
                    AppError(8018, QStringLiteral("mscCOM"), QStringLiteral("ポートが開いていません")), fake.platform,
                    nullptr, nullptr);
        QCOMPARE(fake.clipboard.current.split(QStringLiteral("\r\n")),
                 QStringList({QStringLiteral("エラーです。"), QStringLiteral("オブジェクト : mscCOM"),
                              QStringLiteral("フォーム名   : dlgAdd"), QStringLiteral("イベント     : OKButton_Click"),
                              QStringLiteral("エラー番号   : 8018"), QStringLiteral("ポートが開いていません"),
                              QStringLiteral("Ver 2.32")}));
    }

    void endingReportOnStandardError()
    {
        QTemporaryFile capture;
        QVERIFY(capture.open());
        const int saved = ::dup(STDERR_FILENO);
        ::dup2(capture.handle(), STDERR_FILENO);
        FakePlatform fake;
        bool ended = false;
        try {
            ReportError(QStringLiteral("frmMain"), QStringLiteral("Form_Load"),
                        AppError(62, QStringLiteral("src"), QStringLiteral("途中で終わっています")), fake.platform,
                        nullptr, nullptr);
        } catch (const ProcessEnded &) {
            ended = true;
        }
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        QVERIFY(ended);
        capture.seek(0);
        const QString written = QString::fromLocal8Bit(capture.readAll());
        QCOMPARE(written,
                 QString(fake.clipboard.current).replace(QStringLiteral("\r\n"), QStringLiteral("\n")) + u'\n');
    }

    void byCode_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message"); // "report": the report text itself
        QTest::addColumn<bool>("ends");
        QTest::addColumn<QString>("panel");
        QTest::newRow("8002") << 8002 << "ポート番号が間違っています。\r\n設定で正しいポートを設定してください。"
                              << false << "ポートを設定し直して下さい";
        QTest::newRow("8005")
            << 8005 << "ポートがすでに使われております。\r\n他のソフトで使用中でないか、もう一度ご確認ください。"
            << false << "モデムが使用できません";
        QTest::newRow("70 refused") << 70 << "desc" << false << "ポートを開く権限がありません";
        QTest::newRow("8018 silent") << 8018 << "" << false << "";
        QTest::newRow("unlisted") << 6 << "report" << true << "";
    }

    void byCode()
    {
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(bool, ends);
        QFETCH(QString, panel);
        FakePlatform fake;
        RecordingTarget target;
        bool ended = false;
        try {
            ReportError(QStringLiteral("frmMain"), QStringLiteral("cmdButton_Click"),
                        AppError(code, QStringLiteral("src"), QStringLiteral("desc")), fake.platform, &target, nullptr);
        } catch (const ProcessEnded &e) {
            ended = true;
            QCOMPARE(e.code, 1);
        }
        QCOMPARE(ended, ends);
        QCOMPARE(fake.clipboard.history.size(), 1);
        QVERIFY(fake.clipboard.current.contains(QStringLiteral("エラー番号   : %1\r\n").arg(code)));
        if (message == QLatin1String("report"))
            message = fake.clipboard.current;
        QCOMPARE(fake.boxes.texts(), message.isEmpty() ? QStringList() : QStringList(message));
        QCOMPARE(target.restored, panel.isEmpty() ? QStringList() : QStringList(panel));
    }
};

QTEST_GUILESS_MAIN(tst_ReportError)
#include "tst_reporterror.moc"
