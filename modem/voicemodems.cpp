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

void listVoiceModems(std::function<void(const QList<VoiceModem> &, const QString &)> done)
{
    QString error;
    SystemBus *bus = systemBus(&error);
    if (!bus) {
        QTimer::singleShot(0, [done = std::move(done), error] { done({}, error); });
        return;
    }
    bus->call(Service, Root, ObjectManagerIface, QStringLiteral("GetManagedObjects"), {}, 5000,
              [done = std::move(done)](const BusReply &reply) {
                  if (!reply.ok())
                      done({}, reply.error.endsWith(QLatin1String(".ServiceUnknown")) ||
                                       reply.error.endsWith(QLatin1String(".NameHasNoOwner"))
                                   ? QStringLiteral("ModemManager が動いていません。")
                                   : reply.message);
                  else
                      done(voiceModems(reply.values.value(0).toMap()), {});
              });
}
