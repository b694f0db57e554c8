#pragma once

#include <QDialog>
#include <functional>

struct AppData;
struct Platform;
class SerialPort;
class Waiter;

// The options dialog. exec() returns Accepted when OK stored the settings; the caller then applies them to the main window.
class dlgOption : public QDialog
{
    Q_OBJECT
public:
    dlgOption(AppData &data, Platform &platform, SerialPort &port, Waiter &waiter, QWidget *parent = nullptr);
    ~dlgOption() override;
};
