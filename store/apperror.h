#pragma once

#include <QString>
#include <exception>

// A failure as the error reporter sees it: a numeric code, the name of what raised
// it and a description. Thrown by the port layer and the stores; caught by the
// handlers that route failures to the error reporter.
class AppError : public std::exception
{
public:
    AppError(int code, QString source, QString description)
        : m_code(code), m_source(std::move(source)), m_description(std::move(description)),
          m_what(QStringLiteral("%1 (%2): %3").arg(m_code).arg(m_source, m_description).toUtf8())
    {
    }

    int code() const { return m_code; }
    const QString &source() const { return m_source; }
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    int m_code;
    QString m_source;
    QString m_description;
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
