#include "app/platformservices.h"
#include "app/programrun.h"
#include "app/sessionend.h"
#include "keyring/keyringstore.h"
#include "modem/comport.h"
#include "store/appdata.h"
#include "ui/frmmain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    AppData data;
    data.folder = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    QtMessageBoxes boxes;
    QtClipboard clipboard;
    DesktopUrlOpener urls;
    ImmediateExit process;
    // platform.help is the help window's launcher, plugged in here with the help window.
    KeyringStore keyring;
    Platform platform{&boxes, &clipboard, nullptr, &urls, &process};
    platform.passwords = &keyring;
    AppRun run(platform);
    platform.run = &run;
    ComPort port(data.folder);
    frmMain window(data, platform, port);
    window.Form_Load();
    // Only after start-up: a shut-down before the files are loaded would write the defaults over them.
    closeOnSessionEnd(window);
    window.show();
    return app.exec();
}
