#include "support/fakeplatform.h"
#include "support/mainwindowrig.h"
#include "support/table.h"
#include "ui/builddata.h"
#include "ui/dlgabout.h"
#include "ui/helpwindow.h"

#include <QLabel>
#include <QTest>

using KeywordOpensTopic = table::Of<QString, QString>;

// The help viewer and the About box, the help menu's items.
class tst_Help : public QObject
{
    Q_OBJECT
private slots:
    void keywordOpensTopic_data()
    {
        const KeywordOpensTopic row;
        row("address book editor", "追加／編集について", "addressbook.html");
        row("options dialog", "設定について", "settings.html");
        row("trouble", "うまくいかないとき", "trouble.html");
    }
    void keywordOpensTopic()
    {
        const auto [keyword, page] = KeywordOpensTopic::row();
        HelpWindow help(QStringLiteral(FUMIDORI_BIN_DIR "/") + HelpWindow::collectionFileName());
        const QList<QUrl> topics = help.topicsFor(keyword);
        QCOMPARE(topics.size(), 1);
        QCOMPARE(topics.first().fileName(), page);

        help.showKeyword(nullptr, keyword);
        QVERIFY(help.isVisible());
        QCOMPARE(help.currentPage(), topics.first());
        QVERIFY(help.pageText().startsWith(keyword)); // the topic's heading
    }
    void mainWindowBringsItsOwnViewer()
    {
        // A platform without a help viewer: the window opens its own, and the dialogs get it too.
        // With no collection in the folder it says so, creates none, and the window goes on.
        MainWindowRig f;
        f.fake.platform.help = nullptr;
        f.w().prepareWindow();
        auto *lazy = dynamic_cast<LazyHelpWindow *>(f.fake.platform.help);
        QVERIFY(lazy);
        f.w().mnuHELP[1]->trigger();
        HelpWindow *viewer = &lazy->window();
        QVERIFY(viewer->isVisible());
        QVERIFY(viewer->pageText().contains(QStringLiteral("ヘルプファイルが見つかりません。")));
        QVERIFY(viewer->topicsFor(QStringLiteral("設定について")).isEmpty());
        QVERIFY(!QFileInfo::exists(f.dir.filePath(HelpWindow::collectionFileName())));
        QVERIFY(f.fake.boxes.shown.isEmpty());
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(f.w().statusText(5), QStringLiteral("0/-"));
    }
    // The About box's links are handed to the desktop, and the box closes.
    void aboutLinksHandedOver()
    {
        const QMap<QString, QUrl> links{{"lblHOMEPAGE", QUrl(builddata::homePage())},
                                        {"lblMAIL", QUrl(QStringLiteral("mailto:") + builddata::mailAddress())}};
        for (auto link = links.begin(); link != links.end(); ++link) {
            FakePlatform fake;
            dlgAbout about(fake.platform);
            about.show();
            QVERIFY(QTest::qWaitForWindowExposed(&about));
            QTest::mouseClick(about.findChild<QLabel *>(link.key()), Qt::LeftButton, {}, QPoint(3, 3));
            QCOMPARE(fake.urls.opened, QList<QUrl>{link.value()});
            QVERIFY(!about.isVisible());
        }
    }
};

QTEST_MAIN(tst_Help)
#include "tst_help.moc"
