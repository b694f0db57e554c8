#pragma once

#include "modem/detector.h"

#include <QDialog>
#include <functional>
#include <optional>

class QCheckBox;
class QPlainTextEdit;
class QPushButton;
struct AppData;
struct Platform;
class SerialPort;
class Waiter;

// Modem detection: probes COM1 to COM15 with ATI6 and makes the first port that answers PortNumber.
// exec() returns Accepted when "閉じる" handed the port on. Controls carry their names as object names.
class dlgModemDet : public QDialog
{
    Q_OBJECT
public:
    dlgModemDet(AppData &data, Platform &platform, SerialPort &port, Waiter &waiter, QWidget *parent = nullptr);
    ~dlgModemDet() override;

    // What the result box shows, with its CR LF line ends.
    QString resultText() const { return m_result; }

    // Closing while a scan runs stops the scan first.
    void done(int result) override;

    // The start button: scans the ports; the task ends with the scan.
    QCoro::Task<> cmdDetModem_Click();

private:
    void showFailure(const class AppError &error);

    AppData &m_data;
    Platform &m_platform;
    ModemDetector m_detector;
    QString m_result;
    bool m_scanning = false;
    std::optional<int> m_closeAfterScan;

    QPushButton *cmdDetModem;
    QPushButton *cmdClose;
    QCheckBox *chkRevision;
    QPlainTextEdit *txtResult;
};
