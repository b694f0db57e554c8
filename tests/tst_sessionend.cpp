#include "app/sessionend.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <csignal>

namespace
{

class ClosingWindow : public QWidget
{
public:
    QEventLoop loop;
    int closes = 0;

protected:
    void closeEvent(QCloseEvent *event) override
    {
        ++closes;
        event->accept();
        loop.quit();
    }
};

} // namespace

class tst_SessionEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void signalClosesTheWindow_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void signalClosesTheWindow()
    {
        QFETCH(int, signal);
        ClosingWindow window;
        window.show();
        closeOnSessionEnd(window);
        ::raise(signal);
        QTimer::singleShot(5000, &window.loop, &QEventLoop::quit); // only a guard against a hang
        window.loop.exec();
        QCOMPARE(window.closes, 1);
    }
};

QTEST_MAIN(tst_SessionEnd)
#include "tst_sessionend.moc"
