#include "outcome.h"

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
