#include "ui/frmmain.h"

#include "modem/serialport.h"
#include "store/appdata.h"
#include "ui/platform.h"

frmMain::frmMain(AppData &data, Platform &platform, SerialPort &port, QWidget *parent)
    : QMainWindow(parent), m_data(data), m_platform(platform), mscCOM(port)
{
    setWindowTitle(QStringLiteral("携帯電話、PHSにメールを送るよん♪"));
}

frmMain::~frmMain() = default;

void frmMain::Form_Load() {}
