// The main window of the window benchmarks, with the real platform services, built the
// way the program's main() builds it; only the end of the run is the benchmark's.
#pragma once

#include "app/platformservices.h"
#include "app/programrun.h"
#include "modem/comport.h"
#include "store/appdata.h"
#include "ui/frmmain.h"

namespace bench
{

struct MainWindow {
    QtMessageBoxes boxes;
    QtClipboard clipboard;
    DesktopUrlOpener urls;
    Platform platform;
    AppRun run{platform};
    ComPort port;
    frmMain window;

    MainWindow(AppData &data, ProcessControl &process)
        : platform{&boxes, &clipboard, nullptr, &urls, &process, &run}, port(data.folder), window(data, platform, port)
    {
    }
};

} // namespace bench
