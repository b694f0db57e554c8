#pragma once

#include "store/appdata.h"
#include "support/fakeplatform.h"
#include "support/fakeport.h"
#include "ui/frmmain.h"

#include <QTemporaryDir>
#include <QTimer>
#include <memory>

// One main window, prepared, over a data folder of its own and an address book of the test's
// making, on a fake port whose device answers every command, so each press of the send button
// ends. A test that changes the settings or the platform prepares the window again.
struct MainWindowRig {
    QTemporaryDir dir;
    FakePlatform fake;
    AppData data;
    FakePort port;
    std::unique_ptr<frmMain> window;

    explicit MainWindowRig(QList<MessageCenter> centers = {}, QList<Recipient> recipients = {})
    {
        data.folder = dir.path() + QLatin1Char('/');
        data.settings = Settings::defaults();
        data.centers = centers;
        data.recipients = recipients;
        data.history.resize(data.settings.HistoryCount);
        port.onWrite = [this](const QByteArray &) {
            QTimer::singleShot(0, &port, [this] { port.receive("\r\nOK\r\n"); });
        };
        window = std::make_unique<frmMain>(data, fake.platform, port);
        window->prepareWindow();
    }
    frmMain &w() { return *window; }
};
