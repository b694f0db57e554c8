#include "modem/devicekind.h"

#include "encoding/cp932.h"
#include "modem/modemline.h"
#include "modem/modemmanagerline.h"
#include "modem/sipline.h"
#include "modem/soundline.h"
#include "store/appdata.h"

namespace atcommand
{

QString speakerPart(const Settings &s)
{
    if (s.SpeakerOff == 1)
        return QStringLiteral("M0");
    return QStringLiteral("M1L%1").arg(s.SpeakerVolume);
}

QString pulseSpeedPart(const Settings &s)
{
    if (s.TonePulse != QLatin1String("P"))
        return {};
    return QStringLiteral("&P%1").arg(s.DialSpeed / 10);
}

QString outsideLinePart(const Settings &s)
{
    return s.OutsideOn == 1 ? s.OutSide + QLatin1Char(',') : QString();
}

QByteArray command(const QString &text)
{
    return cp932::encode(text + QLatin1Char('\r'));
}

} // namespace atcommand

namespace
{

using namespace atcommand;

CallStep waitStep(const QString &text)
{
    return {command(text), true, false};
}

CallStep lastStep(const QString &text)
{
    return {command(text)};
}

// The user's extra command, sent after the device's own set-up.
QList<CallStep> extra(const Settings &s)
{
    if (s.ExCommand.isEmpty())
        return {};
    return {waitStep(QStringLiteral("AT") + s.ExCommand)};
}

QString tail(const QString &digits, const char *end)
{
    return digits + QLatin1String(end);
}

QList<CallStep> modemCall(const Settings &s, const QString &number)
{
    return QList<CallStep>{waitStep(QStringLiteral("ATZ")),
                           waitStep(QStringLiteral("ATE0") + speakerPart(s) + QStringLiteral("Q0V1X4&C1") +
                                    s.TonePulse + pulseSpeedPart(s))}
           << extra(s) << lastStep(QStringLiteral("ATD") + outsideLinePart(s) + tail(number, "T;"));
}

QList<CallStep> modem2Call(const Settings &s, const QString &number)
{
    return QList<CallStep>{
               waitStep(QStringLiteral("AT")), waitStep(QStringLiteral("ATZ")), waitStep(QStringLiteral("ATE0V1Q0")),
               waitStep(QStringLiteral("ATX4&C1") + pulseSpeedPart(s)), waitStep(QStringLiteral("AT") + speakerPart(s))}
           << extra(s) << CallStep{command(QStringLiteral("ATH1")), true, true}
           << CallStep{command(QStringLiteral("ATD") + s.TonePulse + QLatin1Char(';')), true, true}
           << lastStep(QStringLiteral("ATD") + s.TonePulse + outsideLinePart(s) + tail(number, "T;"));
}

QList<CallStep> pcCard1Call(const Settings &s, const QString &number)
{
    return QList<CallStep>{waitStep(QStringLiteral("ATE0Q0V1"))} << extra(s)
                                                                 << lastStep(QStringLiteral("ATD") + tail(number, "V"));
}

QList<CallStep> pcCard2Call(const Settings &s, const QString &number)
{
    return QList<CallStep>{waitStep(QStringLiteral("ATE0Q0V1"))}
           << extra(s) << lastStep(QStringLiteral("ATDV") + tail(number, ";"));
}

QList<CallStep> pcCard3Call(const Settings &s, const QString &number)
{
    return QList<CallStep>{waitStep(QStringLiteral("ATE0M1Q0V1X4"))} << extra(s)
                                                                     << lastStep(QStringLiteral("ATD") + number);
}

QList<CallStep> terminalAdapterCall(const Settings &s, const QString &number)
{
    return QList<CallStep>{waitStep(QStringLiteral("ATE0Q0V1X4"))}
           << extra(s) << lastStep(QStringLiteral("ATD") + outsideLinePart(s) + tail(number, "#;"));
}

QList<QByteArray> linkKeys(const QString &digits);

QList<CallStep> linkCableCall(const Settings &, const QString &number)
{
    QList<CallStep> steps{CallStep{QByteArray(1, char(0xA7)), false, true}};
    for (const QByteArray &key : linkKeys(number))
        steps << CallStep{key};
    return steps << CallStep{QByteArray(1, char(0x86))};
}

QList<CallStep> modem3Call(const Settings &s, const QString &number)
{
    return {
        waitStep(QStringLiteral("AT") + speakerPart(s) + QStringLiteral("Q0V1X4") + s.TonePulse + pulseSpeedPart(s)),
        CallStep{command(QStringLiteral("ATH1")), true, true},
        lastStep(QStringLiteral("ATD") + outsideLinePart(s) + tail(number, "T;"))};
}

// The module's tone length in tenths of a second, at least 1.
QString toneTenths(const Settings &s)
{
    return QString::number(qMax(1, (s.ToneLength + 50) / 100));
}

QList<CallStep> mobileModuleCall(const Settings &s, const QString &number)
{
    return QList<CallStep>{waitStep(QStringLiteral("ATZ")), waitStep(QStringLiteral("ATE0")),
                           waitStep(QStringLiteral("AT+VTD=") + toneTenths(s))}
           << extra(s) << lastStep(QStringLiteral("ATD") + outsideLinePart(s) + tail(number, ";"));
}

QList<CallStep> noCall(const Settings &, const QString &)
{
    return {};
}

QList<QByteArray> atdSemicolon(const QString &digits)
{
    return {command(QStringLiteral("ATD") + tail(digits, ";"))};
}

QList<QByteArray> atdVoice(const QString &digits)
{
    return {command(QStringLiteral("ATD") + tail(digits, "V"))};
}

QList<QByteArray> atdvSemicolon(const QString &digits)
{
    return {command(QStringLiteral("ATDV") + tail(digits, ";"))};
}

QList<QByteArray> atdBare(const QString &digits)
{
    return {command(QStringLiteral("ATD") + digits)};
}

// The link cable's key bytes, one write per key; characters without a key are left out.
QList<QByteArray> linkKeys(const QString &digits)
{
    QList<QByteArray> keys;
    for (QChar ch : digits) {
        if (ch >= QLatin1Char('1') && ch <= QLatin1Char('9'))
            keys << QByteArray(1, char(0x90 + ch.unicode() - '0'));
        else if (ch == QLatin1Char('0'))
            keys << QByteArray(1, char(0x9A));
        else if (ch == QLatin1Char('*'))
            keys << QByteArray(1, char(0x9B));
        else if (ch == QLatin1Char('#'))
            keys << QByteArray(1, char(0x9C));
    }
    return keys;
}

// One AT+VTS per key; characters without a key are left out.
QList<QByteArray> vtsKeys(const QString &digits)
{
    QList<QByteArray> keys;
    for (QChar ch : digits) {
        if ((ch >= QLatin1Char('0') && ch <= QLatin1Char('9')) || ch == QLatin1Char('*') || ch == QLatin1Char('#'))
            keys << command(QStringLiteral("AT+VTS=") + ch);
    }
    return keys;
}

QList<QByteArray> noDigits(const QString &)
{
    return {};
}

const QByteArray Ath = QByteArrayLiteral("ATH\r");
const char *const Modem9600 = "9600,n,8,1";

const DeviceRules Rows[] = {
    /* Modem           */ {Modem9600, true, Ath, {}, false, modemCall, atdSemicolon},
    /* Modem2          */ {Modem9600, true, Ath, {}, false, modem2Call, atdSemicolon},
    /* PcCard1         */ {Modem9600, true, Ath, {}, false, pcCard1Call, atdVoice},
    /* PcCard2         */ {Modem9600, true, Ath, {}, false, pcCard2Call, atdvSemicolon},
    /* PcCard3         */ {Modem9600, true, Ath, {}, false, pcCard3Call, atdBare},
    /* TerminalAdapter */ {Modem9600, true, Ath, {}, false, terminalAdapterCall, atdSemicolon},
    /* LinkCable       */ {"600,e,8,1", false, QByteArray(1, char(0xA4)), {}, false, linkCableCall, linkKeys},
    /* Modem3          */ {Modem9600, true, Ath, {}, false, modem3Call, atdSemicolon},
    /* MobileModule    */ {"115200,n,8,1", true, QByteArrayLiteral("AT+CHUP\r"), Ath, true, mobileModuleCall, vtsKeys},
    /* SoundCard       */ {"", false, {}, {}, false, noCall, noDigits},
    /* Sip             */ {"", false, {}, {}, false, noCall, noDigits},
    /* ModemManager    */ {"", false, {}, {}, false, noCall, noDigits},
};
const DeviceRules Unknown = {Modem9600, true, Ath, {}, false, noCall, noDigits};

std::unique_ptr<Line> serialLine(const LineParts &p)
{
    return std::make_unique<ModemLine>(p.settings, p.port, p.waiter);
}

std::unique_ptr<Line> soundLine(const LineParts &p)
{
    Q_ASSERT(p.frontEnd);
    return std::make_unique<SoundLine>(p.settings, p.waiter, *p.frontEnd);
}

std::unique_ptr<Line> sipLine(const LineParts &p)
{
    return std::make_unique<SipLine>(p.settings, p.waiter, p.passwords);
}

std::unique_ptr<Line> modemManagerLine(const LineParts &p)
{
    return std::make_unique<ModemManagerLine>(p.settings, p.dataFolder, p.waiter);
}

const char *const ModuleNote = "モジュールのポートを 115200bps で開きます。音の長さは 0.1 秒単位でモジュールに伝え、"
                               "音と音の間隔はモジュールが決めます。";
const char *const SoundNote = "サウンドカードから数字の音を鳴らします。ポートは使いません。"
                              "電話機の送話口をスピーカーに当て、音量を上げてください。";
const char *const ManagedNote = "ModemManager が管理するモジュールで発信します。ポートは使いません。"
                                "音の長さはモジュールが決め、数字と数字の間隔をここで決めます。";

// The module of ModemManager's that a line names (empty: the only one).
QString managedModule(const Settings &s)
{
    return QStringLiteral("ModemManager のモジュール %1").arg(s.VoiceModem.trimmed());
}

using G = OptionsGroup;
// stored, label, name, port, unattended, account, trial, group, note, line
const DeviceKindRow Kinds[] = {
    {0, "モデム", "モデム", true, true, false, false, G::None, "", serialLine},
    {1, "モデム2", "モデム2", true, true, false, false, G::None, "", serialLine},
    {2, "通信PCカード1", "通信PCカード1", true, true, false, false, G::None, "", serialLine},
    {3, "通信PCカード2", "通信PCカード2", true, true, false, false, G::None, "", serialLine},
    {4, "通信PCカード3", "通信PCカード3", true, true, false, false, G::None, "", serialLine},
    {5, "TA", "TA", true, true, false, true, G::None, "", serialLine},
    {6, "リンクケーブル", "リンクケーブル", true, true, false, false, G::None, "", serialLine},
    {7, "モデム3", "モデム3", true, true, false, false, G::None, "", serialLine},
    {8, "携帯電話モジュール", "携帯電話モジュール", true, true, false, false, G::ToneLength, ModuleNote, serialLine},
    {9, "サウンド（トーンダイヤラー）", "サウンドカード", false, false, false, false, G::Tones, SoundNote, soundLine},
    {10, "インターネット電話（SIP）", "インターネット電話", false, true, true, false, G::Account, "", sipLine},
    {11, "携帯電話モジュール（ModemManager）", "携帯電話モジュール（ModemManager）", false, true, false, false, G::Gap,
     ManagedNote, modemManagerLine, managedModule},
};
static_assert(std::size(Kinds) == std::size(Rows));

} // namespace

const DeviceRules &deviceRules(int storedKind)
{
    return storedKind >= 0 && storedKind < int(std::size(Rows)) ? Rows[storedKind] : Unknown;
}

bool dialsWithAt(int storedKind)
{
    switch (DeviceKind(storedKind)) {
    case DeviceKind::Modem:
    case DeviceKind::Modem2:
    case DeviceKind::PcCard1:
    case DeviceKind::PcCard2:
    case DeviceKind::PcCard3:
    case DeviceKind::TerminalAdapter:
    case DeviceKind::Modem3:
    case DeviceKind::MobileModule:
        return true;
    case DeviceKind::LinkCable:
    case DeviceKind::SoundCard:
    case DeviceKind::Sip:
    case DeviceKind::ModemManager:
        break;
    }
    return false;
}

std::span<const DeviceKindRow> deviceKinds()
{
    return Kinds;
}

const DeviceKindRow *deviceKind(int storedKind)
{
    return storedKind >= 0 && storedKind < int(std::size(Kinds)) ? &Kinds[storedKind] : nullptr;
}
