#include "modem/comport.h"
#include "store/appdata.h"
#include "ui/frmmain.h"
#include "ui/platform.h"

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int signalPipe[2] = {-1, -1};

void onEndSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here; the window is closed from the event loop.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// Ending the desktop session (SIGTERM, SIGHUP) closes the main window, whose close
// runs the normal shut-down: hang-up, both files written, process ended.
void closeOnEndSignals(QWidget &window, QObject *owner)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        window.close();
    });
    struct sigaction action = {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

} // namespace

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
    Platform platform{&boxes, &clipboard, nullptr, &urls, &process};
    ComPort port(data.folder);
    frmMain window(data, platform, port);
    window.Form_Load();
    // Only after start-up: a shut-down before the files are loaded would write the defaults over them.
    closeOnEndSignals(window, &app);
    window.show();
    return app.exec();
}
