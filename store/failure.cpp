#include "store/failure.h"

#include <array>

namespace
{

using enum Failure;
using enum Fault;
using enum WindowAction;

// One row a failure, in the order of the enum. The window's texts are those the error
// reporter has always shown for the codes the program treats specially.
constexpr std::array Rows{
    FailureRow{None, 0, Nobody, false, ExitStatus::Sent, "sent", Silent, "", ""},
    FailureRow{PermissionDenied, 70, Device, true, ExitStatus::LineFailed, "failed", Box,
               "ポートを開く権限がありません", ""},
    FailureRow{BadPortNumber, 8002, Device, true, ExitStatus::LineFailed, "failed", Box, "ポートを設定し直して下さい",
               "ポート番号が間違っています。\n設定で正しいポートを設定してください。"},
    FailureRow{PortInUse, 8005, Device, true, ExitStatus::Busy, "busy", Box, "モデムが使用できません",
               "ポートがすでに使われております。\n他のソフトで使用中でないか、もう一度ご確認ください。"},
    FailureRow{PortNotOpen, 8018, Nobody, true, ExitStatus::LineFailed, "failed", Silent, "", ""},
    FailureRow{AudioOutput, 8100, Device, true, ExitStatus::LineFailed, "failed", Box, "サウンドが使用できません",
               "音を出せません。\n%1\n音声の出力装置と音量の設定を確かめてください。"},
    FailureRow{DeviceFailed, 8101, Device, true, ExitStatus::LineFailed, "failed", Box, "センターにつながりません", ""},
    FailureRow{CallFailed, 8101, Centre, true, ExitStatus::LineFailed, "failed", Box, "センターにつながりません", ""},
    FailureRow{KeyringUnavailable, 8101, Device, false, ExitStatus::BadInput, "refused", Box,
               "センターにつながりません", ""},
    FailureRow{AccountRefused, 8102, Device, false, ExitStatus::BadInput, "refused", Box, "センターにつながりません",
               ""},
    FailureRow{Held, 0, Nobody, true, ExitStatus::Busy, "busy", Box, "モデムが使用できません", ""},
    FailureRow{NotForLine, 0, Nobody, true, ExitStatus::BadInput, "refused", Box, "", ""},
    FailureRow{Refused, 0, Message, false, ExitStatus::BadInput, "refused", Box, "", ""},
    FailureRow{Stopped, 0, Nobody, true, ExitStatus::LineFailed, "failed", Silent, "", ""},
    FailureRow{Unexpected, 0, Nobody, true, ExitStatus::LineFailed, "failed", EndProgram, "", ""},
};

constexpr bool inEnumOrder()
{
    for (std::size_t i = 0; i < Rows.size(); ++i)
        if (std::size_t(Rows[i].failure) != i)
            return false;
    return true;
}
static_assert(inEnumOrder(), "the failure table must hold one row a failure, in the enum's order");
static_assert(Rows.size() == std::size_t(Unexpected) + 1, "every failure needs its row");

} // namespace

namespace failures
{

const FailureRow &row(Failure failure)
{
    return Rows[std::size_t(failure)];
}

Failure ofCode(int code)
{
    for (const FailureRow &r : Rows)
        if (r.code != 0 && r.code == code)
            return r.failure;
    return Unexpected;
}

} // namespace failures
