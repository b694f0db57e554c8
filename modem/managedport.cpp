#include "modem/managedport.h"

#include "modem/systembus.h"
#include "modem/voicemodems.h"
#include "modem/waiter.h"
#include "store/apperror.h"

#include <QPointer>

using namespace modemmanager;

namespace
{

const QString MethodInhibit = QStringLiteral("InhibitDevice");
const QString MethodObjects = QStringLiteral("GetManagedObjects");
constexpr int AnswerMs = 5000;
// Inhibiting tears the modem down before ModemManager answers.
constexpr int InhibitMs = 30000;

// What a wait for one bus answer listens to: open for as long as it lives.
class Answer : public WaitSource
{
public:
    bool isOpen() const override { return true; }
    void set(const BusReply &r)
    {
        reply = r;
        emit readyRead();
    }
    std::optional<BusReply> reply;
};

QCoro::Task<BusReply> ask(Waiter &waiter, const QString &method, const QVariantList &args, int limitMs)
{
    QString error;
    SystemBus *bus = systemBus(&error);
    if (!bus)
        co_return BusReply{{}, QStringLiteral("nobus"), error};
    auto answer = std::make_unique<Answer>();
    QPointer<Answer> to(answer.get());
    const QString &interface = method == MethodObjects ? ObjectManagerIface : Service;
    bus->call(Service, Root, interface, method, args, limitMs, [to](const BusReply &reply) {
        if (to)
            to->set(reply);
    });
    Answer *a = answer.get();
    auto answered = waiter.wait(a, limitMs + 1000, [a] { return a->reply.has_value(); });
    co_await answered;
    co_return a->reply.value_or(BusReply{{}, QStringLiteral("timeout"), {}});
}

} // namespace

std::optional<ManagedPort> managedPort(const QVariantMap &objects, const QString &port)
{
    const QString wanted = portName(port);
    for (const QVariant &object : objects) {
        const QVariantMap m = object.toMap().value(ModemIface).toMap();
        // Ports: (name, type) pairs.
        for (const QVariant &p : m.value(QStringLiteral("Ports")).toList())
            if (!wanted.isEmpty() && portName(p.toList().value(0).toString()) == wanted)
                return ManagedPort{m.value(QStringLiteral("Device")).toString(),
                                   QStringLiteral("%1 %2、IMEI %3")
                                       .arg(m.value(QStringLiteral("Manufacturer")).toString(),
                                            m.value(QStringLiteral("Model")).toString(),
                                            m.value(QStringLiteral("EquipmentIdentifier")).toString())};
    }
    return std::nullopt;
}

namespace managedports
{

QCoro::Task<std::optional<ManagedPort>> find(Waiter &waiter, QString port)
{
    const QVariantList none;
    const BusReply reply = co_await ask(waiter, MethodObjects, none, AnswerMs);
    co_return reply.ok() ? managedPort(reply.values.value(0).toMap(), port) : std::nullopt;
}

QCoro::Task<QString> inhibit(Waiter &waiter, QString port)
{
    const std::optional<ManagedPort> modem = co_await find(waiter, port);
    if (!modem || modem->device.isEmpty())
        co_return QString();
    const QVariantList args{modem->device, true};
    const BusReply reply = co_await ask(waiter, MethodInhibit, args, InhibitMs);
    if (!reply.ok())
        throw AppError(Failure::DeviceFailed, QStringLiteral("ModemManager"),
                       QStringLiteral("ModemManager が %1 のモジュール（%2）を手放しませんでした：%3（%4）。"
                                      "InhibitModemManager=1 には管理者の操作 "
                                      "org.freedesktop.ModemManager1.Control の許可が要ります。")
                           .arg(port, modem->text, reply.message, reply.error));
    co_return modem->device;
}

void release(const QString &device)
{
    QString error;
    if (SystemBus *bus = device.isEmpty() ? nullptr : systemBus(&error))
        bus->callNow(Service, Root, Service, MethodInhibit, {device, false}, AnswerMs);
}

QString heldText(const QString &port, const ManagedPort &modem)
{
    return QStringLiteral("ポートは既に開いています。%1 は ModemManager が管理するモジュール（%2）のポートです。"
                          "このポートを ModemManager から外すには、同梱の udev 規則 "
                          "/usr/share/doc/fumidori/examples/70-fumidori-modem.rules（ID_MM_DEVICE_IGNORE）を使うか、"
                          "回線の設定に InhibitModemManager=1 を加えて通話のたびに手放させてください"
                          "（管理者の許可が要り、モジュールのデータ通信がそのたびに切れます）。")
        .arg(port, modem.text);
}

} // namespace managedports
