#include "store/settingsfile.h"

#include "encoding/cp932.h"
#include "store/appdata.h"
#include "store/fieldreader.h"
#include "store/filestore.h"
#include "store/numbertext.h"
#include "store/profile.h"

#include <algorithm>

namespace settingsfile
{
namespace
{

const QString RangeText = QStringLiteral("（-32768 から 32767 まで）");

StoreError damaged(const QString &detail)
{
    return {StoreError::Reading, QString::fromLatin1(FileName), detail};
}

// The "[Option]" keys, each through the profile reader; the first problem is kept.
struct OptionReader {
    QByteArrayView bytes;
    std::optional<StoreError> error;

    QString text(const char *key) const { return cp932::decode(profileString(bytes, "Option", key)); }

    qint16 number(const char *key)
    {
        const QByteArray value = profileString(bytes, "Option", key);
        const numbertext::Result r = numbertext::leading(value);
        if (r.status != numbertext::Status::Ok && !error)
            error = damaged(
                QStringLiteral("[Option] の %1=%2 は範囲外の数値です").arg(QLatin1String(key), cp932::decode(value)) +
                RangeText + QStringLiteral("。"));
        return r.value;
    }

    qint16 count(const char *key)
    {
        const qint16 n = number(key);
        if (n < 0 && !error)
            error = damaged(QStringLiteral("[Option] の %1 が負の数（%2）です。").arg(QLatin1String(key)).arg(n));
        return n;
    }

    // A length in milliseconds from 40 to 500; anything else (missing, not a
    // number, out of range) is the default and no error.
    qint16 toneLength(const char *key) const
    {
        const numbertext::Result r = numbertext::whole(profileString(bytes, "Option", key));
        return qint16(tonelength::orDefault(r.status == numbertext::Status::Ok ? r.value : 0));
    }
};

// The address book records after "[Information]", field by field; the first problem is kept.
struct RecordReader {
    FieldReader fields;
    std::optional<StoreError> error;
    QString record; // "センター 3 件目" and the like, for messages

    bool next(QByteArray *field)
    {
        const int line = fields.line();
        if (!fields.readField(field)) {
            error = damaged(QStringLiteral("%1のデータが足りないまま、ファイルが終わっています（%2 行目）。")
                                .arg(record)
                                .arg(line));
            return false;
        }
        return true;
    }

    bool text(QString *out)
    {
        QByteArray field;
        if (!next(&field))
            return false;
        *out = cp932::decode(field);
        return true;
    }

    bool number(qint16 *out, bool wholeText)
    {
        const int line = fields.line();
        QByteArray field;
        if (!next(&field))
            return false;
        const numbertext::Result r = wholeText ? numbertext::whole(field) : numbertext::leading(field);
        const QString shown = cp932::decode(field);
        if (r.status == numbertext::Status::NotANumber)
            error = damaged(
                QStringLiteral("%1 行目: %2の待ち時間「%3」が数値ではありません。").arg(line).arg(record, shown));
        else if (r.status == numbertext::Status::OutOfRange)
            error = damaged(QStringLiteral("%1 行目: %2の数値「%3」が範囲外です").arg(line).arg(record, shown) +
                            RangeText + QStringLiteral("。"));
        *out = r.value;
        return !error;
    }
};

bool findInformation(RecordReader &records)
{
    QByteArray field;
    while (records.fields.readField(&field)) {
        if (field == "[Information]")
            return true;
    }
    records.error = damaged(QStringLiteral("[Information] の行がありません（大文字と小文字も区別します）。"));
    return false;
}

bool readCenter(RecordReader &in, MessageCenter &c)
{
    return in.text(&c.name) && in.number(&c.kind, false) && in.text(&c.number) && in.number(&c.maxChars, false) &&
           in.number(&c.waitBeforeNumber, true) && in.number(&c.waitBeforeMail, true) &&
           in.number(&c.waitBeforeHangUp, true);
}

bool readRecipient(RecordReader &in, Recipient &r)
{
    return in.text(&r.name) && in.number(&r.centerIndex, false) && in.text(&r.number);
}

Settings readOptions(OptionReader &in)
{
    Settings s;
    s.PortNumber = in.number("PortNumber");
    s.IME = in.number("IME");
    s.TonePulse = in.text("TonePulse");
    s.AutoTransmit = in.number("AutoTransmit");
    s.OutSide = in.text("OutSide");
    s.OutsideOn = in.number("OutsideOn");
    s.SpeakerOff = in.number("SpeakerOff");
    s.SpeakerVolume = in.number("SpeakerVolume");
    s.ModemKind = in.number("ModemKind");
    s.History = in.number("History");
    s.HistoryCount = in.count("HistoryCount");
    s.SendStrings = in.number("SendStrings");
    s.DialSpeed = in.number("DialSpeed");
    s.OkCheckNo = in.number("OkCheckNo");
    s.ExCommand = in.text("ExCommand");
    s.ReturnStart = in.number("ReturnStart");
    s.MailInterval = in.number("MailInterval");
    s.ToneLength = in.toneLength("ToneLength");
    s.ToneGap = in.toneLength("ToneGap");
    s.SipServer = in.text("SipServer");
    s.SipUser = in.text("SipUser");
    const QString transport = in.text("SipTransport").trimmed().toLower();
    if (transport == QLatin1String("tcp") || transport == QLatin1String("tls"))
        s.SipTransport = transport;
    s.SipProxy = in.text("SipProxy");
    s.VoiceModem = in.text("VoiceModem");
    return s;
}

// The keys that say how a device is reached and driven, as a line of the queue may set them.
struct DeviceField {
    const char *key;
    qint16 Settings::*number;
    QString Settings::*text;
};
const DeviceField DeviceFields[] = {
    {"ModemKind", &Settings::ModemKind, nullptr},       {"PortNumber", &Settings::PortNumber, nullptr},
    {"TonePulse", nullptr, &Settings::TonePulse},       {"DialSpeed", &Settings::DialSpeed, nullptr},
    {"OutSide", nullptr, &Settings::OutSide},           {"OutsideOn", &Settings::OutsideOn, nullptr},
    {"ExCommand", nullptr, &Settings::ExCommand},       {"OkCheckNo", &Settings::OkCheckNo, nullptr},
    {"ToneLength", &Settings::ToneLength, nullptr},     {"ToneGap", &Settings::ToneGap, nullptr},
    {"SipServer", nullptr, &Settings::SipServer},       {"SipUser", nullptr, &Settings::SipUser},
    {"SipTransport", nullptr, &Settings::SipTransport}, {"SipProxy", nullptr, &Settings::SipProxy},
    {"VoiceModem", nullptr, &Settings::VoiceModem},
};

} // namespace

std::optional<StoreError> read(const QByteArray &bytes, AppData &data)
{
    OptionReader options{bytes, {}};
    const qint16 centerCount = options.count("CentorCount");
    const qint16 recipientCount = options.count("NumberCount");
    const Settings settings = readOptions(options);
    if (options.error)
        return options.error;

    RecordReader records{FieldReader(bytes), {}, {}};
    if (!findInformation(records))
        return records.error;
    QList<MessageCenter> centers(centerCount);
    for (int i = 0; i < centerCount; ++i) {
        records.record = QStringLiteral("センター %1 件目").arg(i + 1);
        if (!readCenter(records, centers[i]))
            return records.error;
    }
    QList<Recipient> recipients(recipientCount);
    for (int i = 0; i < recipientCount; ++i) {
        records.record = QStringLiteral("相手先 %1 件目").arg(i + 1);
        if (!readRecipient(records, recipients[i]))
            return records.error;
    }
    data.settings = settings;
    data.centers = centers;
    data.recipients = recipients;
    data.history.resize(settings.HistoryCount);
    return std::nullopt;
}

QByteArray bytes(const AppData &data)
{
    const Settings &s = data.settings;
    const QString crlf = QStringLiteral("\r\n");
    QString out = QStringLiteral("[Option]") + crlf;
    auto line = [&](const char *key, const QString &value) { out += QLatin1String(key) + u'=' + value + crlf; };
    auto number = [&](const char *key, int value) { line(key, QString::number(value)); };
    number("CentorCount", int(data.centers.size()));
    number("NumberCount", int(data.recipients.size()));
    number("PortNumber", s.PortNumber);
    number("ModemKind", s.ModemKind);
    line("TonePulse", s.TonePulse);
    number("DialSpeed", s.DialSpeed);
    number("SpeakerOff", s.SpeakerOff);
    number("SpeakerVolume", s.SpeakerVolume);
    number("SendStrings", s.SendStrings);
    number("AutoTransmit", s.AutoTransmit);
    number("IME", s.IME);
    line("OutSide", s.OutSide);
    number("OutsideOn", s.OutsideOn);
    number("History", s.History);
    number("HistoryCount", s.HistoryCount);
    number("OkCheckNo", s.OkCheckNo);
    line("ExCommand", s.ExCommand);
    number("ReturnStart", s.ReturnStart);
    number("MailInterval", s.MailInterval);
    const Settings plain;
    if (s.ToneLength != plain.ToneLength)
        number("ToneLength", s.ToneLength);
    if (s.ToneGap != plain.ToneGap)
        number("ToneGap", s.ToneGap);
    if (!s.SipServer.isEmpty())
        line("SipServer", s.SipServer);
    if (!s.SipUser.isEmpty())
        line("SipUser", s.SipUser);
    if (s.SipTransport != plain.SipTransport)
        line("SipTransport", s.SipTransport);
    if (!s.SipProxy.isEmpty())
        line("SipProxy", s.SipProxy);
    if (!s.VoiceModem.isEmpty())
        line("VoiceModem", s.VoiceModem);
    out += crlf + QStringLiteral("[Information]") + crlf;
    for (const MessageCenter &c : data.centers) {
        // maxChars as a printed number: a blank (or the minus sign), the digits, a blank.
        const QString maxChars = (c.maxChars < 0 ? QStringLiteral("-") : QStringLiteral(" ")) +
                                 QString::number(qAbs(int(c.maxChars))) + u' ';
        out += c.name + u',' + QString::number(c.kind) + crlf + c.number + crlf + maxChars + crlf +
               QStringLiteral("%1,%2,%3").arg(c.waitBeforeNumber).arg(c.waitBeforeMail).arg(c.waitBeforeHangUp) + crlf;
    }
    for (const Recipient &r : data.recipients)
        out += r.name + u',' + QString::number(r.centerIndex) + crlf + r.number + crlf;
    return cp932::encode(out);
}

const QStringList &deviceKeys()
{
    static const QStringList keys = [] {
        QStringList out;
        for (const DeviceField &f : DeviceFields)
            out << QLatin1String(f.key);
        return out;
    }();
    return keys;
}

std::optional<QString> applyDeviceKeys(Settings &settings, const QList<std::pair<QString, QString>> &values)
{
    // Each value read as the settings file's own would be: the same reader, on a file of
    // that one key.
    for (const auto &pair : values) {
        const QString &key = pair.first;
        const QString &value = pair.second;
        const auto f = std::find_if(std::begin(DeviceFields), std::end(DeviceFields), [&](const DeviceField &d) {
            return key.compare(QLatin1String(d.key), Qt::CaseInsensitive) == 0;
        });
        if (f == std::end(DeviceFields))
            return QStringLiteral("%1 は機器の設定のキーではありません。").arg(key);
        bool ok = false;
        const QByteArray encoded = cp932::encode(value, &ok);
        if (!ok || encoded.contains('\n') || encoded.contains('\r'))
            return QStringLiteral("%1=%2 は Shift_JIS の 1 行にできません。").arg(key, value);
        if (f->text == &Settings::SipTransport &&
            !QStringList{"udp", "tcp", "tls"}.contains(value.trimmed(), Qt::CaseInsensitive))
            return QStringLiteral("SipTransport=%1 は使えません（udp、tcp、tls のどれか）。").arg(value);
        const QByteArray bytes = "[Option]\r\n" + QByteArray(f->key) + '=' + encoded + "\r\n";
        OptionReader in{bytes, {}};
        const Settings read = readOptions(in);
        if (in.error)
            return in.error->detail;
        if (f->number)
            settings.*(f->number) = read.*(f->number);
        else
            settings.*(f->text) = read.*(f->text);
    }
    return std::nullopt;
}

} // namespace settingsfile

std::optional<StoreError> LoadSettingsFile(AppData &data)
{
    const QString name = QString::fromLatin1(settingsfile::FileName);
    QByteArray bytes;
    if (auto error = filestore::readAll(data.folder, name, &bytes))
        return error;
    return settingsfile::read(bytes, data);
}

std::optional<StoreError> SaveSettingsFile(const AppData &data)
{
    return filestore::writeAtomically(data.folder, QString::fromLatin1(settingsfile::FileName),
                                      settingsfile::bytes(data));
}
