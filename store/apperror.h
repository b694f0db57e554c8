#pragma once

#include "store/failure.h"

#include <QString>
#include <exception>

// A failure as the error reporter sees it: what failed (a row of the failure table), the
// name of what raised it and a description. Thrown by the lines, the ports and the
// stores; caught by the handlers that route failures to the error reporter.
class AppError : public std::exception
{
public:
    AppError(Failure failure, QString source, QString description)
        : AppError(failure, failures::row(failure).code, std::move(source), std::move(description))
    {
    }
    // A failure by its report code: the first row with that code, Unexpected for a code no
    // row has (a file's error number, a port's odd code), the code kept as given.
    AppError(int code, QString source, QString description)
        : AppError(failures::ofCode(code), code, std::move(source), std::move(description))
    {
    }

    Failure failure() const { return m_failure; }
    int code() const { return m_code; }
    const QString &source() const { return m_source; }
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }
    // The device, its port or its account failed rather than the call: another line may
    // well carry the message.
    bool deviceFault() const { return failures::row(m_failure).fault == Fault::Device; }

private:
    AppError(Failure failure, int code, QString source, QString description)
        : m_failure(failure), m_code(code), m_source(std::move(source)), m_description(std::move(description)),
          m_what(QStringLiteral("%1 (%2): %3").arg(m_code).arg(m_source, m_description).toUtf8())
    {
    }

    Failure m_failure;
    int m_code;
    QString m_source;
    QString m_description;
    QByteArray m_what;
};
