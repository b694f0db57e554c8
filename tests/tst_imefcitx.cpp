// The IME setting against a real Fcitx 5 on a virtual X display, with a session bus of the
// test's own. The profile's group holds two keyboard layouts, so Fcitx's "active" (state 2)
// is its second entry and no conversion engine's server is needed.
#include "support/mainwindowrig.h"
#include "support/modalcloser.h"
#include "support/server.h"
#include "support/table.h"
#include "ui/mailedit.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace
{

QTemporaryDir config;
ServerProcess xvfb, bus;
QProcess fcitx;
QString notStarted;

// The display and the bus, before the application connects to either.
void startServers()
{
    xvfb.channels = QProcess::ForwardedErrorChannel; // the display's number alone on standard output
    if (!xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"}, "\n",
                    10000)) {
        notStarted = QStringLiteral("Xvfb could not start a display");
        return;
    }
    qputenv("DISPLAY", ':' + xvfb.firstLine());
    const QByteArray address = startBus(bus);
    if (address.isEmpty()) {
        notStarted = QStringLiteral("dbus-daemon could not start a session bus");
        return;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qunsetenv("IBUS_ADDRESS");
    QDir().mkpath(config.path() + "/fcitx5");
    QFile profile(config.path() + "/fcitx5/profile");
    if (profile.open(QIODevice::WriteOnly))
        profile.write("[Groups/0]\nName=Default\nDefault Layout=us\nDefaultIM=keyboard-jp\n\n"
                      "[Groups/0/Items/0]\nName=keyboard-us\nLayout=\n\n"
                      "[Groups/0/Items/1]\nName=keyboard-jp\nLayout=\n\n"
                      "[GroupOrder]\n0=Default\n");
    fcitx.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    fcitx.start(QStringLiteral("fcitx5"), {"--replace"});
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QT_IM_MODULE", "fcitx");
}

// What fcitx5-remote prints: 0 no input context, 1 inactive, 2 active.
int remoteState()
{
    QProcess remote;
    remote.start(QStringLiteral("fcitx5-remote"), {});
    remote.waitForFinished();
    return remote.readAllStandardOutput().trimmed().toInt();
}

} // namespace

using MessageBoxSwitchesFcitxOn = table::Of<int, bool, int>;

class tst_ImeFcitx : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!notStarted.isEmpty())
            QSKIP(qPrintable(notStarted));
        if (fcitx.state() == QProcess::NotRunning)
            QSKIP("fcitx5 could not start");
        QTRY_VERIFY_WITH_TIMEOUT(
            QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("org.fcitx.Fcitx5")), 20000);
    }
    // On the message box's focus, or at the options dialog's OK while it has the focus.
    void messageBoxSwitchesFcitxOn_data()
    {
        const MessageBoxSwitchesFcitxOn row;
        row("IME 1: active", 1, false, 2);
        row("IME 0: left inactive", 0, false, 1);
        row("IME 0, then 1 at OK: active", 0, true, 2);
    }
    void messageBoxSwitchesFcitxOn()
    {
        const auto [ime, setAtOk, state] = MessageBoxSwitchesFcitxOn::row();
        MainWindowRig f;
        f.data.settings.IME = qint16(ime);
        f.w().prepareWindow();
        frmMain &window = f.w();
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.txtMail->setFocus();
        // Fcitx knows the box's input context, then reports the state asked for.
        QTRY_VERIFY_WITH_TIMEOUT(remoteState() != 0, 10000);
        if (setAtOk) {
            ModalCloser closer([](QDialog *d) {
                d->findChild<QCheckBox *>(QStringLiteral("chkIME"))->setChecked(true);
                d->findChild<QPushButton *>(QStringLiteral("OKButton"))->click();
            });
            window.mnuOPTION[0]->trigger();
            QCOMPARE(closer.opened, QStringList{"dlgOption"});
        }
        QTRY_COMPARE_WITH_TIMEOUT(remoteState(), state, 5000);
    }
};

int main(int argc, char **argv)
{
    startServers();
    int status = 0;
    {
        QApplication app(argc, argv);
        tst_ImeFcitx test;
        status = QTest::qExec(&test, argc, argv);
    }
    fcitx.kill(); // the display and the bus end with the program
    fcitx.waitForFinished();
    return status;
}

#include "tst_imefcitx.moc"
