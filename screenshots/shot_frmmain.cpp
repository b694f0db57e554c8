#include "screenshots/shots.h"

#include "modem/comport.h"
#include "store/appdata.h"
#include "support/fakeplatform.h"
#include "ui/clicklabel.h"
#include "ui/frmmain.h"
#include "ui/helpwindow.h"
#include "ui/mailedit.h"

#include <QHelpContentModel>
#include <QHelpEngine>
#include <QHelpIndexModel>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace
{

// An address book such as a user keeps: two centres and three recipients.
void fillSample(AppData &data)
{
    data.settings = Settings::defaults();
    data.settings.AutoTransmit = 1;
    data.centers = {{QStringLiteral("ドコモ関東"), 0, QStringLiteral("0902123456"), 50, 20, 8, 10},
                    {QStringLiteral("J-PHONE東京"), 2, QStringLiteral("0903456789"), 100, 15, 8, 10}};
    data.recipients = {{QStringLiteral("山田さん"), 0, QStringLiteral("09011112222")},
                       {QStringLiteral("佐藤さん"), 1, QStringLiteral("09033334444")},
                       {QStringLiteral("会社のポケベル"), 0, QStringLiteral("0105556666")}};
    data.history.resize(data.settings.HistoryCount);
}

void waitForHelp(HelpWindow &help)
{
    QHelpEngine *engine = help.engine();
    // The contents and the index are built in the background after the collection opens.
    if (engine->contentModel()->rowCount() == 0)
        QSignalSpy(engine->contentModel(), &QHelpContentModel::contentsCreated).wait(5000);
    if (engine->indexModel()->rowCount() == 0)
        QSignalSpy(engine->indexModel(), &QHelpIndexModel::indexCreated).wait(5000);
}

} // namespace

FUMIDORI_SHOT(frmMain)
{
    QTemporaryDir dir;
    FakePlatform fake;
    AppData data;
    data.folder = dir.path() + QLatin1Char('/');
    fillSample(data);
    ComPort port(data.folder);
    frmMain window(data, fake.platform, port);
    window.prepareWindow();
    window.txtMail->setPlainText(QStringLiteral("今日は7時ごろ帰ります。ごはんはカレーがいいな"));
    saveShot(&window, folder, QStringLiteral("frmMain.png"));

    window.txtMail->setPlainText(QStringLiteral("明日の待ち合わせは駅の北口に10時でお願いします。遅れるときは"
                                                "このポケベルに連絡してください。傘を忘れずに！"));
    saveShot(&window, folder, QStringLiteral("frmMain-toolong.png"));

    // Between two stages of a call, with the longest progress text.
    window.txtMail->setPlainText(QStringLiteral("ｺﾝﾆﾁﾊ"));
    window.stageStarted(SendStage::Number);
    window.nextStage(SendStage::Mail, false);
    window.stageFinished();
    window.sendAgainAllowed(true);
    window.stbSTATUS[1]->setText(QStringLiteral("12"));
    saveShot(&window, folder, QStringLiteral("frmMain-sending.png"));
}

FUMIDORI_SHOT(HelpWindow)
{
    HelpWindow help(QStringLiteral(FUMIDORI_BIN_DIR "/") + HelpWindow::collectionFileName());
    help.showContents(nullptr);
    waitForHelp(help);
    saveShot(&help, folder, QStringLiteral("HelpWindow.png"));
    help.showKeyword(nullptr, QStringLiteral("追加／編集について"));
    saveShot(&help, folder, QStringLiteral("HelpWindow-keyword.png"));

    HelpWindow missing(QStringLiteral("/nonexistent/") + HelpWindow::collectionFileName());
    missing.showContents(nullptr);
    saveShot(&missing, folder, QStringLiteral("HelpWindow-missing.png"));
}
