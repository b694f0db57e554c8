#include "modem/detector.h"

#include "encoding/cp932.h"
#include "modem/serialport.h"
#include "modem/waiter.h"
#include "store/apperror.h"

namespace
{
const QString crlf = QStringLiteral("\r\n");
}

ModemDetector::ModemDetector(SerialPort &port, Waiter &waiter) : m_port(port), m_waiter(waiter) {}

QCoro::Task<int> ModemDetector::run(bool showProductCode, std::function<void(const QString &)> lineDone)
{
    m_cancelled = false;
    // Every AT device is asked at these settings, whatever the last call used.
    m_port.setSettings(QStringLiteral("9600,n,8,1"));
    int found = 0;
    for (int p = FirstPort; p <= LastPort && !m_cancelled; ++p) {
        const std::optional<Probe> probed = co_await probe(p);
        if (!probed || m_cancelled)
            continue;
        if (!probed->answer.isEmpty() && found == 0)
            found = p;
        const QString entry = probed->refused ? QStringLiteral("- 開けません（権限がありません） -")
                                              : entryText(probed->answer, showProductCode);
        lineDone(QStringLiteral("COM%1 : ").arg(p) + entry + crlf);
    }
    co_return found;
}

void ModemDetector::cancel()
{
    m_cancelled = true;
    closePort();
}

void ModemDetector::closePort()
{
    try {
        if (m_port.isOpen())
            m_port.setPortOpen(false);
    } catch (const AppError &) {
        // Closing is the last step of a probe; a port that fails to close is left to the next open.
    }
}

QCoro::Task<std::optional<ModemDetector::Probe>> ModemDetector::probe(int p)
{
    QByteArray answer;
    try {
        m_port.setPortNumber(p);
        m_port.setPortOpen(true);
        m_port.output(QByteArrayLiteral("ATI6\r"));
    } catch (const AppError &e) {
        closePort();
        if (e.failure() == Failure::BadPortNumber)
            co_return std::nullopt;
        if (e.failure() == Failure::PermissionDenied)
            co_return Probe{{}, true};
        throw;
    }
    co_await m_waiter.wait(&m_port, AnswerTimeoutMs, [&] {
        answer += m_port.input();
        return answer.contains("OK\r");
    });
    answer += m_port.input();
    closePort();
    co_return Probe{cp932::decode(answer), false};
}

QString ModemDetector::entryText(const QString &answer, bool showProductCode)
{
    if (answer.isEmpty())
        return QStringLiteral("- 未接続 -");
    if (!showProductCode)
        return QStringLiteral("検出しました");
    return QStringLiteral("検出しました") + crlf + QStringLiteral("製品コード : ") + productCode(answer);
}

QString ModemDetector::productCode(const QString &answer)
{
    const qsizetype ok = answer.indexOf(QStringLiteral("OK"));
    if (ok < 2)
        return answer.trimmed() + crlf;
    QString code = answer.left(ok - 2);
    const qsizetype lineEnd = code.indexOf(crlf);
    if (lineEnd >= 0)
        code = code.mid(lineEnd + 2);
    return code;
}
