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

// Shows the advice and gives the send button and the two menu entries back.
void restore(const QString &advice, const QString &panelText, Platform &platform, ReportTarget *target, QWidget *parent)
{
    platform.boxes->show(parent, advice, MessageBoxes::Critical);
    if (target)
        target->restoreAfterPortFailure(panelText);
}

// The report goes to standard error too, where a desktop session's journal keeps it.
void writeToStandardError(const QString &report)
{
    const QByteArray bytes = QString(report).replace(CrLf, QStringLiteral("\n")).toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

[[noreturn]] void endWith(const QString &text, const QString &report, Platform &platform, QWidget *parent)
{
    writeToStandardError(report);
    platform.boxes->show(parent, text, MessageBoxes::Critical);
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
    switch (error.code()) {
    case ErrorCode::BadPortNumber:
        restore(QStringLiteral("ポート番号が間違っています。") + CrLf +
                    QStringLiteral("設定で正しいポートを設定してください。"),
                QStringLiteral("ポートを設定し直して下さい"), platform, target, parent);
        return;
    case ErrorCode::PortInUse:
        restore(QStringLiteral("ポートがすでに使われております。") + CrLf +
                    QStringLiteral("他のソフトで使用中でないか、もう一度ご確認ください。"),
                QStringLiteral("モデムが使用できません"), platform, target, parent);
        return;
    case ErrorCode::PermissionDenied:
        restore(error.description(), QStringLiteral("ポートを開く権限がありません"), platform, target, parent);
        return;
    case ErrorCode::PortNotOpen:
        return;
    case ErrorCode::LineFailed:
        restore(error.description(), QStringLiteral("センターにつながりません"), platform, target, parent);
        return;
    case ErrorCode::AudioOutput:
        restore(QStringLiteral("音を出せません。") + CrLf + error.description() + CrLf +
                    QStringLiteral("音声の出力装置と音量の設定を確かめてください。"),
                QStringLiteral("サウンドが使用できません"), platform, target, parent);
        return;
    default:
        endWith(report, report, platform, parent);
    }
}
