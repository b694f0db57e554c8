#include "support/fakeplatform.h"
#include "ui/builddata.h"
#include "ui/dlgabout.h"

#include <QLabel>
#include <QTest>
#include <memory>

// The About box: links handed to the desktop, and the keys that close it.
class tst_dlgAbout : public QObject
{
    Q_OBJECT

    FakePlatform m_fake;
    std::unique_ptr<dlgAbout> m_dialog;

    QLabel *label(const char *name) { return m_dialog->findChild<QLabel *>(QString::fromLatin1(name)); }
    void open()
    {
        m_fake.urls.opened.clear();
        m_dialog = std::make_unique<dlgAbout>(m_fake.platform);
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    }
private slots:
    void linksAreHandedOverAndClose_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QUrl>("url");
        QTest::newRow("home page") << "lblHOMEPAGE" << QUrl(builddata::homePage());
        QTest::newRow("mail") << "lblMAIL" << QUrl(QStringLiteral("mailto:") + builddata::mailAddress());
    }
    void linksAreHandedOverAndClose()
    {
        QFETCH(QString, link);
        QFETCH(QUrl, url);
        open();
        QTest::mouseClick(label(link.toLatin1().constData()), Qt::LeftButton, {}, QPoint(3, 3));
        QCOMPARE(m_fake.urls.opened, QList<QUrl>{url});
        QVERIFY(!m_dialog->isVisible());
    }
};

QTEST_MAIN(tst_dlgAbout)
#include "tst_dlgabout.moc"
