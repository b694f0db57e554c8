#include "app/reporterror.h"

#include "app/lifecycle.h"
#include "store/apperror.h"
#include "ui/builddata.h"
#include "ui/platform.h"

#include <QStringList>
#include <cstdio>
#include <cstdlib>

namespace
{

const QString CrLf = QStringLiteral("\r\n");

QString reportText(const QString &formName, const QString &eventName, const AppError &error)
{
    return QStringList{
        QStringLiteral("エラーです。"),
        QStringLiteral("オブジェクト : ") + error.source(),
        QStringLiteral("フォーム名   : ") + formName,
        QStringLiteral("イベント     : ") + eventName,
        QStringLiteral("エラー番号   : ") + QString::number(error.code()),
        error.description(),
        builddata::versionText(),
    }
        .join(CrLf);
}

// The box's text of a failure's row: its advice around the description, or the
// description alone. A port held by another program keeps its advice, followed by what
// the port found out about the holder (a lock file and its owner, ModemManager), if
// anything.
QString adviceText(const FailureRow &row, const AppError &error)
{
    const QString text = QString::fromUtf8(row.text);
    if (text.isEmpty())
        return error.description();
    const QString advice = QString(text).replace(u'\n', CrLf).arg(error.description());
    const QString held = QStringLiteral("ポートは既に開いています。");
    const QString &description = error.description();
    if (error.failure() == Failure::PortInUse && description.startsWith(held) && description.size() > held.size())
        return advice + CrLf + description.mid(held.size());
    return advice;
}

// The report goes to standard error too, where a desktop session's journal keeps it.
void writeToStandardError(const QString &report)
{
    const QByteArray bytes = QString(report).replace(CrLf, QStringLiteral("\n")).toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

[[noreturn]] void endWith(const QString &report, Platform &platform, QWidget *parent)
{
    writeToStandardError(report);
    platform.boxes->show(parent, report, MessageBoxes::Critical);
    lifecycle::releaseInstanceLock();
    platform.process->endProcess(1);
    std::abort(); // not reached: endProcess does not return
}

} // namespace

void ReportError(const QString &formName, const QString &eventName, const AppError &error, Platform &platform,
                 ReportTarget *target, QWidget *parent)
{
    const QString report = reportText(formName, eventName, error);
    platform.clipboard->setText(report);
    const FailureRow &row = failures::row(error.failure());
    switch (row.window) {
    case WindowAction::Silent:
        return;
    case WindowAction::Box:
        // The advice, then the send button and the two menu entries back.
        platform.boxes->show(parent, adviceText(row, error), MessageBoxes::Critical);
        if (target)
            target->restoreAfterPortFailure(QString::fromUtf8(row.panel));
        return;
    case WindowAction::EndProgram:
        endWith(report, platform, parent);
    }
}
