#include "modem/devicekind.h"

#include "encoding/cp932.h"
#include "modem/modemline.h"
#include "modem/modemmanagerline.h"
#include "modem/sipline.h"
#include "modem/soundline.h"
#include "modem/voicemodems.h"
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

const QByteArray Ath = QByteArrayLiteral("ATH\r");

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

// The module of ModemManager's that a line names, by its equipment identifier, so that
// an IMEI and a port naming one module are one device. None named with several there is
// refused (they are named). A module ModemManager does not have now, or a ModemManager
// that cannot be asked, is left to the call to report: by what the line says.
QString managedModule(const Settings &s, QString *problem)
{
    const QString wanted = s.VoiceModem.trimmed();
    QString unasked;
    VoiceModem chosen;
    if (const std::optional<QList<VoiceModem>> modems = voiceModemsNow(&unasked)) {
        const QString why = chooseModem(*modems, wanted, &chosen);
        if (why.isEmpty())
            return QStringLiteral("ModemManager のモジュール（IMEI %1）")
                .arg(chosen.imei.isEmpty() ? chosen.path : chosen.imei);
        if (wanted.isEmpty() && modems->size() > 1)
            *problem = why;
    }
    return QStringLiteral("ModemManager のモジュール %1").arg(wanted);
}

// A modem that takes AT commands on a 9600 bps line and answers each with "OK".
DeviceKindRow atModem(const char *label, QList<CallStep> (*call)(const Settings &, const QString &),
                      QList<QByteArray> (*digits)(const QString &), bool trial = false)
{
    return {.label = label,
            .name = label,
            .makeLine = serialLine,
            .unattended = true,
            .trial = trial,
            .dialsWithAt = true,
            .check = IdleCheck::At,
            .usesPort = true,
            .lineSettings = "9600,n,8,1",
            .answersOk = true,
            .hangUp = Ath,
            .callSteps = call,
            .dialWrites = digits};
}

const DeviceKindRow Kinds[] = {
    atModem("モデム", modemCall, atdSemicolon),
    atModem("モデム2", modem2Call, atdSemicolon),
    atModem("通信PCカード1", pcCard1Call, atdVoice),
    atModem("通信PCカード2", pcCard2Call, atdvSemicolon),
    atModem("通信PCカード3", pcCard3Call, atdBare),
    atModem("TA", terminalAdapterCall, atdSemicolon, /* trial */ true),
    {.label = "リンクケーブル",
     .name = "リンクケーブル",
     .makeLine = serialLine,
     .unattended = true,
     .usesPort = true,
     .lineSettings = "600,e,8,1",
     .hangUp = QByteArray(1, char(0xA4)),
     .callSteps = linkCableCall,
     .dialWrites = linkKeys},
    atModem("モデム3", modem3Call, atdSemicolon),
    {.label = "携帯電話モジュール",
     .name = "携帯電話モジュール",
     .makeLine = serialLine,
     .unattended = true,
     .group = OptionsGroup::ToneLength,
     .optionsNote = "モジュールのポートを 115200bps で開きます。音の長さは 0.1 秒単位でモジュールに伝え、"
                    "音と音の間隔はモジュールが決めます。",
     .dialsWithAt = true,
     .check = IdleCheck::AtRegistered,
     .usesPort = true,
     .lineSettings = "115200,n,8,1",
     .answersOk = true,
     .keysPaced = true,
     .hangUp = QByteArrayLiteral("AT+CHUP\r"),
     .hangUpOnError = Ath,
     .callSteps = mobileModuleCall,
     .dialWrites = vtsKeys},
    {.label = "サウンド（トーンダイヤラー）",
     .name = "サウンドカード",
     .makeLine = soundLine,
     .group = OptionsGroup::Tones,
     .optionsNote = "サウンドカードから数字の音を鳴らします。ポートは使いません。"
                    "電話機の送話口をスピーカーに当て、音量を上げてください。"},
    {.label = "インターネット電話（SIP）",
     .name = "インターネット電話",
     .makeLine = sipLine,
     .unattended = true,
     .usesAccount = true,
     .group = OptionsGroup::Account,
     .check = IdleCheck::Register},
    {.label = "携帯電話モジュール（ModemManager）",
     .name = "携帯電話モジュール（ModemManager）",
     .makeLine = modemManagerLine,
     .unattended = true,
     .group = OptionsGroup::Gap,
     .optionsNote = "ModemManager が管理するモジュールで発信します。ポートは使いません。"
                    "音の長さはモジュールが決め、数字と数字の間隔をここで決めます。",
     .check = IdleCheck::ModemState,
     .namedDevice = managedModule},
};

const DeviceKindRow Unknown = {.label = "",
                               .name = "",
                               .makeLine = serialLine,
                               .usesPort = true,
                               .lineSettings = "9600,n,8,1",
                               .answersOk = true,
                               .hangUp = Ath};

} // namespace

std::span<const DeviceKindRow> deviceKinds()
{
    return Kinds;
}

const DeviceKindRow *deviceKind(int storedKind)
{
    return storedKind >= 0 && storedKind < int(std::size(Kinds)) ? &Kinds[storedKind] : nullptr;
}

const DeviceKindRow &deviceRules(int storedKind)
{
    const DeviceKindRow *row = deviceKind(storedKind);
    return row ? *row : Unknown;
}
