#include "modem/stagetexts.h"

namespace stagetexts
{

QString running(SendStage stage)
{
    switch (stage) {
    case SendStage::Call:
        return QStringLiteral("センターに電話をかけてます");
    case SendStage::Number:
        return QStringLiteral("相手の電話番号を送信してます");
    case SendStage::Mail:
        return QStringLiteral("メールを送信してます");
    case SendStage::Star:
        return QStringLiteral("「*」を送信しまてます");
    case SendStage::HangUp:
    case SendStage::Done:
        break;
    }
    return {};
}

QString sendAgainCaption(SendStage stage)
{
    switch (stage) {
    case SendStage::Number:
        return QStringLiteral("もう一度番号を送る");
    case SendStage::Mail:
        return QStringLiteral("もう一度メールを送る");
    case SendStage::Star:
        return QStringLiteral("もう一度「*」を送る");
    default:
        return {};
    }
}

QString sendCaption(SendStage stage, bool afterSend)
{
    switch (stage) {
    case SendStage::Call:
        return afterSend ? QStringLiteral("もう一回送る") : QStringLiteral("センターにかける");
    case SendStage::Number:
        return QStringLiteral("電話番号を送る");
    case SendStage::Mail:
        return QStringLiteral("メールを送る");
    case SendStage::Star:
        return QStringLiteral("「*」メールを送る");
    case SendStage::HangUp:
        return QStringLiteral("回線を切る");
    case SendStage::Done:
        return QStringLiteral("送ったよ！");
    }
    return {};
}

QString lineStatus(LineStatus status)
{
    switch (status) {
    case LineStatus::Ready:
        break;
    case LineStatus::HungUp:
        return QStringLiteral("電話回線を切断しました");
    case LineStatus::Dropped:
        return QStringLiteral("回線が切断されました");
    }
    return {};
}

QString progress(Progress mark, int remaining, int total)
{
    switch (mark) {
    case Progress::Begun:
        break;
    case Progress::Piece:
        return QStringLiteral("T = %1/%2").arg(remaining).arg(total);
    case Progress::DataSent:
        return QStringLiteral("Send Data OK");
    case Progress::EndSent:
        return QStringLiteral("Send ## OK");
    case Progress::LineCut:
        return QStringLiteral("Line Cut OK");
    }
    return {};
}

QString refusal(Refusal reason)
{
    return reason == Refusal::NoCenter ? QStringLiteral("センターを選択してください。")
                                       : QStringLiteral("送信相手を選択してください。");
}

QString name(SendStage stage)
{
    switch (stage) {
    case SendStage::Call:
        return QStringLiteral("call");
    case SendStage::Number:
        return QStringLiteral("number");
    case SendStage::Mail:
        return QStringLiteral("mail");
    case SendStage::Star:
        return QStringLiteral("star");
    case SendStage::HangUp:
        return QStringLiteral("hangup");
    case SendStage::Done:
        return QStringLiteral("done");
    }
    return {};
}

} // namespace stagetexts
