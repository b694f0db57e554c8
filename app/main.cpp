#include "app/platformservices.h"
#include "app/programrun.h"
#include "app/sessionend.h"
#include "modem/comport.h"
#include "modem/lockedport.h"
#include "store/appdata.h"
#include "store/datafolder.h"
#include "store/passwordstore.h"
#include "ui/frmmain.h"
#include "ui/helpwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Names the desktop file, so that a Wayland desktop shows the program with its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.fumidori.Fumidori"));
    AppData data;
    data.folder = datafolder::forThisProgram();
    QtMessageBoxes boxes;
    QtClipboard clipboard;
    LazyHelpWindow help(datafolder::sharedFolder(QCoreApplication::applicationDirPath()) +
                        HelpWindow::collectionFileName());
    DesktopUrlOpener urls;
    ImmediateExit process;
    KeyringPasswords keyring;
    Platform platform{&boxes, &clipboard, &help, &urls, &process};
    platform.passwords = &keyring;
    AppRun run(platform);
    platform.run = &run;
    ComPort line(data.folder);
    LockedPort port(line, data.folder); // shares the line with fumidori-send
    frmMain window(data, platform, port);
    window.Form_Load();
    // Only after start-up: a shut-down before the files are loaded would write the defaults over them.
    closeOnSessionEnd(window);
    window.show();
    return app.exec();
}
