#pragma once

#include <QDialog>
#include <functional>

struct AppData;
struct Platform;
class SerialPort;
class Waiter;

// Modem detection: probes COM1 to COM15 with ATI6 and makes the first port that answers PortNumber.
class dlgModemDet : public QDialog
{
    Q_OBJECT
public:
    dlgModemDet(AppData &data, Platform &platform, SerialPort &port, Waiter &waiter, QWidget *parent = nullptr);
    ~dlgModemDet() override;
};
