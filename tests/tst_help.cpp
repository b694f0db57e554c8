#include "modem/comport.h"
#include "store/appdata.h"
#include "support/fakeplatform.h"
#include "ui/frmmain.h"
#include "ui/helpwindow.h"

#include <QAction>
#include <QHelpEngine>
#include <QTemporaryDir>
#include <QTest>

namespace
{

QString builtCollection()
{
    return QStringLiteral(FUMIDORI_BIN_DIR "/") + HelpWindow::collectionFileName();
}

} // namespace

class tst_Help : public QObject
{
    Q_OBJECT
private slots:
    void keywordOpensTopic_data()
    {
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<QString>("page");
        QTest::newRow("address book editor") << "追加／編集について"
                                             << "addressbook.html";
        QTest::newRow("options dialog") << "設定について"
                                        << "settings.html";
        QTest::newRow("trouble") << "うまくいかないとき"
                                 << "trouble.html";
    }
    void keywordOpensTopic()
    {
        QFETCH(QString, keyword);
        QFETCH(QString, page);
        HelpWindow help(builtCollection());
        const QList<QUrl> topics = help.topicsFor(keyword);
        QCOMPARE(topics.size(), 1);
        QCOMPARE(topics.first().fileName(), page);
        QVERIFY(!help.engine()->fileData(topics.first()).isEmpty());

        help.showKeyword(nullptr, keyword);
        QVERIFY(help.isVisible());
        QCOMPARE(help.currentPage(), topics.first());
        QVERIFY(help.pageText().startsWith(keyword)); // the topic's heading
    }
    void missingCollection()
    {
        QTemporaryDir dir;
        HelpWindow help(dir.filePath(HelpWindow::collectionFileName()));
        help.showContents(nullptr);
        help.showKeyword(nullptr, QStringLiteral("設定について"));
        QVERIFY(help.isVisible());
        QVERIFY(help.pageText().contains(QStringLiteral("ヘルプファイルが見つかりません。")));
        QVERIFY(help.topicsFor(QStringLiteral("設定について")).isEmpty());
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(!QFileInfo::exists(dir.filePath(HelpWindow::collectionFileName()))); // nothing created
    }
    void mainWindowBringsItsOwnViewer()
    {
        // A platform without a help viewer: the window opens its own, and the dialogs get it too.
        QTemporaryDir dir;
        FakePlatform fake;
        fake.platform.help = nullptr;
        AppData data;
        data.folder = dir.path() + QLatin1Char('/');
        data.settings = Settings::defaults();
        ComPort port(data.folder);
        frmMain window(data, fake.platform, port);
        window.prepareWindow();
        auto *lazy = dynamic_cast<LazyHelpWindow *>(fake.platform.help);
        QVERIFY(lazy);
        window.mnuHELP[1]->trigger();
        HelpWindow *viewer = &lazy->window();
        QVERIFY(viewer->isVisible());
        QVERIFY(viewer->pageText().contains(QStringLiteral("見つかりません"))); // no collection in this folder
        QVERIFY(fake.boxes.shown.isEmpty());
        QCOMPARE(window.statusText(5), QStringLiteral("0/-")); // the window goes on
    }
};

QTEST_MAIN(tst_Help)
#include "tst_help.moc"
