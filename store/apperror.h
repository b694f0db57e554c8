#pragma once

#include <QString>
#include <exception>

// A failure as the error reporter sees it: a numeric code, the name of what raised
// it and a description. Thrown by the port layer and the stores; caught by the
// handlers that route failures to the error reporter.
class AppError : public std::exception
{
public:
    // deviceFault: the device (or its account) failed, not the call it was placing: a
    // silent device, ERROR to a set-up command, no dial tone, a refused registration.
    AppError(int code, QString source, QString description, bool deviceFault = false)
        : m_code(code), m_source(std::move(source)), m_description(std::move(description)), m_deviceFault(deviceFault),
          m_what(QStringLiteral("%1 (%2): %3").arg(m_code).arg(m_source, m_description).toUtf8())
    {
    }

    int code() const { return m_code; }
    const QString &source() const { return m_source; }
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }
    // The device or its port failed rather than the call: a port that will not open, a
    // sound output that cannot be had, an account turned down, or a fault so marked.
    bool deviceFault() const;

private:
    int m_code;
    QString m_source;
    QString m_description;
    bool m_deviceFault = false;
    QByteArray m_what;
};

// The codes the rest of the program relies on.
namespace ErrorCode
{
// The user may not open the port's device (not a member of the group that owns it).
constexpr int PermissionDenied = 70;
constexpr int BadPortNumber = 8002;
constexpr int PortInUse = 8005;
constexpr int PortNotOpen = 8018;
constexpr int AudioOutput = 8100; // the tone dialer's sound output cannot be had or failed
// A line without a port could not be placed or was lost: the description says why.
constexpr int LineFailed = 8101;
// The line's server turned the account's name or password down: trying again cannot help.
constexpr int AccountRefused = 8102;
} // namespace ErrorCode

inline bool AppError::deviceFault() const
{
    return m_deviceFault || m_code == ErrorCode::PermissionDenied || m_code == ErrorCode::BadPortNumber ||
           m_code == ErrorCode::PortInUse || m_code == ErrorCode::AudioOutput || m_code == ErrorCode::AccountRefused;
}
