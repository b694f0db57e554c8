#include "screenshots/shots.h"
#include "store/appdata.h"
#include "store/passwordstore.h"
#include "support/fakeplatform.h"
#include "support/portbank.h"
#include "ui/dlgabout.h"
#include "ui/dlgadd.h"
#include "ui/dlghistory.h"
#include "ui/dlgmodemdet.h"
#include "ui/dlgoption.h"

#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>

namespace
{
AppData sampleData()
{
    AppData data;
    data.settings = Settings::defaults();
    data.centers = {{QStringLiteral("ドコモ東京"), 0, QStringLiteral("0117102"), 160, 5, 3, 2},
                    {QStringLiteral("J-PHONE関東"), 2, QStringLiteral("0570001234"), 100, 6, 4, 2},
                    {QStringLiteral("アステル"), 6, QStringLiteral("0120123456"), 80, 5, 3, 3}};
    data.recipients = {{QStringLiteral("山田太郎"), 0, QStringLiteral("09012345678")},
                       {QStringLiteral("佐藤花子"), 1, QStringLiteral("09087654321")}};
    data.history.resize(20);
    data.history.add({QStringLiteral("佐藤花子"), QStringLiteral("J-PHONE関東"), QStringLiteral("2026/12/05 18:30:12"),
                      QStringLiteral("ｱｼﾀ 10ｼﾞﾆ ｴｷﾏｴﾃﾞ")});
    data.history.add({QStringLiteral("山田太郎"), QStringLiteral("ドコモ東京"), QStringLiteral("2026/12/06 09:15:40"),
                      QStringLiteral("ｶｲｷﾞﾊ 3ｼﾞｶﾗﾆ ﾍﾝｺｳﾆﾅﾘﾏｼﾀ")});
    return data;
}
} // namespace

FUMIDORI_SHOT(dlgAdd)
{
    AppData data = sampleData();
    FakePlatform fake;
    dlgAdd dialog(data, fake.platform);
    dialog.findChild<QListWidget *>(QStringLiteral("lstNumber"))->setCurrentRow(0);
    saveShot(&dialog, folder, QStringLiteral("dlgAdd.png"));
    dialog.findChild<QRadioButton *>(QStringLiteral("optCenter"))->click();
    dialog.findChild<QListWidget *>(QStringLiteral("lstCenter"))->setCurrentRow(1);
    saveShot(&dialog, folder, QStringLiteral("dlgAdd-center.png"));
}

FUMIDORI_SHOT(dlgOption)
{
    AppData data = sampleData();
    data.settings.OutsideOn = 1;
    data.settings.OutSide = QStringLiteral("0");
    FakePlatform fake;
    VirtualWaiter waiter;
    PortBank port(waiter);
    dlgOption dialog(data, fake.platform, port, waiter);
    saveShot(&dialog, folder, QStringLiteral("dlgOption.png"));
    dialog.findChild<QTabBar *>(QStringLiteral("tbsSETTING"))->setCurrentIndex(1);
    saveShot(&dialog, folder, QStringLiteral("dlgOption-other.png"));
    // The newer kinds: a mobile-phone module, the sound card as a tone dialer, an
    // Internet telephone account.
    data.settings.SipServer = QStringLiteral("sip.example.jp");
    data.settings.SipUser = QStringLiteral("0501234567");
    struct NoPasswords : PasswordStore {
        void readPassword(const QString &, std::function<void(QString, QString)> done) override { done({}, {}); }
        void writePassword(const QString &, const QString &, std::function<void(QString)> done) override { done({}); }
    } keyring;
    fake.platform.passwords = &keyring;
    const char *const names[] = {"dlgOption-module.png", "dlgOption-sound.png", "dlgOption-sip.png"};
    for (int kind : {8, 9, 10}) {
        data.settings.ModemKind = qint16(kind);
        dlgOption newer(data, fake.platform, port, waiter);
        saveShot(&newer, folder, QString::fromLatin1(names[kind - 8]));
    }
}

FUMIDORI_SHOT(dlgModemDet)
{
    AppData data = sampleData();
    FakePlatform fake;
    VirtualWaiter waiter;
    PortBank port(waiter);
    for (int p : {1, 2, 4})
        port.devices[p].kind = PortBank::Present;
    port.devices[3] = {PortBank::Present, "ATI6\r\r\nFM56K-JP Rev.2.10\r\n\r\nOK\r\n"};
    port.devices[5] = {PortBank::Present, "ATI6\r\r\nTA-128 V1.3\r\n\r\nOK\r\n"};
    dlgModemDet dialog(data, fake.platform, port, waiter);
    dialog.findChild<QCheckBox *>(QStringLiteral("chkRevision"))->setChecked(true);
    dialog.findChild<QPushButton *>(QStringLiteral("cmdDetModem"))->click();
    saveShot(&dialog, folder, QStringLiteral("dlgModemDet.png"));
}

FUMIDORI_SHOT(dlgHistory)
{
    AppData data = sampleData();
    QString mail;
    dlgHistory dialog(
        data, [&] { return mail; }, [&](const QString &t) { mail = t; });
    saveShot(&dialog, folder, QStringLiteral("dlgHistory.png"));
}

FUMIDORI_SHOT(dlgAbout)
{
    FakePlatform fake;
    dlgAbout dialog(fake.platform);
    saveShot(&dialog, folder, QStringLiteral("dlgAbout.png"));
}
