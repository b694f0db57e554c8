#include "gateway/outcome.h"

QString Outcome::word() const
{
    switch (status) {
    case ExitStatus::Sent:
        return QStringLiteral("sent");
    case ExitStatus::LineFailed:
        return QStringLiteral("failed");
    case ExitStatus::BadInput:
        return QStringLiteral("refused");
    case ExitStatus::Busy:
        return QStringLiteral("busy");
    }
    return {};
}

ExitStatus exitStatus(SendOutcome::Kind kind)
{
    switch (kind) {
    case SendOutcome::Sent:
        return ExitStatus::Sent;
    case SendOutcome::LineFailed:
        return ExitStatus::LineFailed;
    case SendOutcome::Busy:
        return ExitStatus::Busy;
    case SendOutcome::AccountRefused:
        return ExitStatus::BadInput;
    }
    return ExitStatus::LineFailed;
}
