#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <functional>
#include <optional>

class SerialPort;
class Waiter;

// Looks for a modem on COM1 to COM15: each port that exists is opened, asked "ATI6" and
// given two seconds to answer. The first port that answers anything is the modem's.
class ModemDetector
{
public:
    static constexpr int FirstPort = 1;
    static constexpr int LastPort = 15;
    static constexpr qint64 AnswerTimeoutMs = 2000;

    ModemDetector(SerialPort &port, Waiter &waiter);

    // Probes every port in turn at 9600 baud, 8N1, and hands each probed port's line ("COM3 : 検出しました"
    // + CR LF) to lineDone. Returns the first port that answered, 0 when none did. A port that does
    // not exist is skipped, one the user may not open is noted as such; any other failure (a port
    // in use: 8005) ends the scan with an AppError.
    // The probed port is closed on every path.
    QCoro::Task<int> run(bool showProductCode, std::function<void(const QString &)> lineDone);
    // Stops a running scan: the port being probed is closed, which ends its wait.
    void cancel();

    // The entry of one port: "- 未接続 -" for no answer, else "検出しました" with the product code on request.
    static QString entryText(const QString &answer, bool showProductCode);
    // The product code in an answer: the text before "OK" less the line break in front of it and
    // less the echoed command line; an answer that cannot be cut so is shown whole, trimmed.
    static QString productCode(const QString &answer);

private:
    struct Probe {
        QString answer; // empty when the port said nothing
        bool refused;   // the user may not open the port
    };
    // What port p gave, or nothing when the port does not exist.
    QCoro::Task<std::optional<Probe>> probe(int p);
    void closePort();

    SerialPort &m_port;
    Waiter &m_waiter;
    bool m_cancelled = false;
};
