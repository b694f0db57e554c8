#pragma once

#include <QMainWindow>

struct AppData;
struct Platform;
class SerialPort;

// The program's one top-level window.
class frmMain : public QMainWindow
{
    Q_OBJECT
public:
    frmMain(AppData &data, Platform &platform, SerialPort &port, QWidget *parent = nullptr);
    ~frmMain() override;

    // Start-up: refuses a second copy, loads the files and prepares the window.
    void Form_Load();

private:
    AppData &m_data;
    Platform &m_platform;
    SerialPort &mscCOM;
};
