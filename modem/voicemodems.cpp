#include "modem/voicemodems.h"

#include "modem/systembus.h"

#include <QTimer>

namespace modemmanager
{
const QString Service = QStringLiteral("org.freedesktop.ModemManager1");
const QString Root = QStringLiteral("/org/freedesktop/ModemManager1");
const QString ModemIface = QStringLiteral("org.freedesktop.ModemManager1.Modem");
const QString VoiceIface = QStringLiteral("org.freedesktop.ModemManager1.Modem.Voice");
const QString ObjectManagerIface = QStringLiteral("org.freedesktop.DBus.ObjectManager");

QString portName(const QString &port)
{
    return port.startsWith(QLatin1String("/dev/")) ? port.mid(5) : port;
}
} // namespace modemmanager

using namespace modemmanager;

QList<VoiceModem> voiceModems(const QVariantMap &objects)
{
    QList<VoiceModem> out;
    for (auto it = objects.begin(); it != objects.end(); ++it) {
        const QVariantMap interfaces = it->toMap();
        if (!interfaces.contains(VoiceIface))
            continue;
        const QVariantMap m = interfaces.value(ModemIface).toMap();
        VoiceModem v{it.key(),
                     m.value(QStringLiteral("EquipmentIdentifier")).toString(),
                     m.value(QStringLiteral("PrimaryPort")).toString(),
                     m.value(QStringLiteral("Device")).toString(),
                     {},
                     m.value(QStringLiteral("State")).toInt()};
        v.text = QStringLiteral("%1 %2（IMEI %3、%4）")
                     .arg(m.value(QStringLiteral("Manufacturer")).toString(),
                          m.value(QStringLiteral("Model")).toString(), v.imei, v.port);
        out << v;
    }
    return out;
}

bool namesModem(const QString &wanted, const VoiceModem &modem)
{
    return wanted.isEmpty() || wanted == modem.imei || portName(wanted) == portName(modem.port) ||
           wanted == modem.device;
}

QString chooseModem(const QList<VoiceModem> &modems, const QString &wanted, VoiceModem *chosen)
{
    QStringList all;
    QList<VoiceModem> found;
    for (const VoiceModem &m : modems) {
        all << m.text;
        if (namesModem(wanted, m))
            found << m;
    }
    if (found.size() == 1) {
        *chosen = found.first();
        return {};
    }
    if (found.size() > 1)
        return QStringLiteral(
                   "音声通話のできるモジュールが %1 台あります。VoiceModem= でどれを使うか指定してください：%2")
            .arg(found.size())
            .arg(all.join(u'、'));
    if (wanted.isEmpty())
        return QStringLiteral("ModemManager に音声通話のできるモジュールがありません。");
    return QStringLiteral("VoiceModem=%1 のモジュールが ModemManager にありません（あるもの：%2）。")
        .arg(wanted, all.isEmpty() ? QStringLiteral("なし") : all.join(u'、'));
}

namespace
{

constexpr int ListMs = 5000;

// The modules in ModemManager's answer, or why there are none to be had.
std::optional<QList<VoiceModem>> modemsOf(const BusReply &reply, QString *problem)
{
    if (reply.ok())
        return voiceModems(reply.values.value(0).toMap());
    *problem =
        reply.error.endsWith(QLatin1String(".ServiceUnknown")) || reply.error.endsWith(QLatin1String(".NameHasNoOwner"))
            ? QStringLiteral("ModemManager が動いていません。")
            : reply.message;
    return std::nullopt;
}

} // namespace

void listVoiceModems(std::function<void(const QList<VoiceModem> &, const QString &)> done)
{
    QString error;
    SystemBus *bus = systemBus(&error);
    if (!bus) {
        QTimer::singleShot(0, [done = std::move(done), error] { done({}, error); });
        return;
    }
    bus->call(Service, Root, ObjectManagerIface, QStringLiteral("GetManagedObjects"), {}, ListMs,
              [done = std::move(done)](const BusReply &reply) {
                  QString problem;
                  const auto modems = modemsOf(reply, &problem);
                  done(modems.value_or(QList<VoiceModem>()), problem);
              });
}

std::optional<QList<VoiceModem>> voiceModemsNow(QString *problem)
{
    SystemBus *bus = systemBus(problem);
    if (!bus)
        return std::nullopt;
    return modemsOf(bus->callNow(Service, Root, ObjectManagerIface, QStringLiteral("GetManagedObjects"), {}, ListMs),
                    problem);
}
